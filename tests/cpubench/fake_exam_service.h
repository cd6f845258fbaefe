// A small stand-in for the exam service on loopback HTTPS, for tests that need to
// shape its replies. Every request is counted per path and its body kept.
#pragma once

#include <json/json.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/https_test_server.h"

namespace sorvanta::testing {

class FakeExamService {
 public:
  // Reply makers; each gets the request body.
  using Reply = std::function<std::string(const std::string& body)>;

  FakeExamService() {
    startExam = [this](const std::string& body) {
      Json::Value req;
      Json::Reader().parse(body, req);
      Json::Value e(Json::objectValue);
      e["randFile"] = req["examstart"][0]["examFile"];
      e["sm4key"] = "00112233445566778899aabbccddeeff";
      std::lock_guard<std::mutex> g(mu_);
      e["id"] = nextId_++;
      Json::Value a(Json::arrayValue);
      a.append(e);
      return a.toStyledString();
    };
    endExam = [](const std::string&) { return std::string("ok"); };
    submit = [](const std::string&) { return std::string("单核 1000 多核 2000||{\"singlecore\":1000}"); };
  }

  // Starts serving and points the service URL at it for the life of this object.
  void Start() {
    server_.Post("/sorvanta/startexam", Handler("startexam", &startExam));
    server_.Post("/sorvanta/endexam", Handler("endexam", &endExam));
    server_.Post("/sorvanta/cpuscoresubmitV4", Handler("submit", &submit));
    server_.Post("/sorvanta/getTokenV3", Handler("token", &token));
    server_.Get("/exampaper/.*", [this](const httplib::Request& req, httplib::Response& res) {
      std::string name = req.path.substr(std::string("/exampaper/").size());
      std::lock_guard<std::mutex> g(mu_);
      bodies_["paper"].push_back(name);
      auto it = papers.find(name);
      if (it == papers.end()) {
        res.status = 404;
        res.set_content("", "application/octet-stream");
      } else {
        res.set_content(it->second, "application/octet-stream");
      }
    });
    server_.Start();
    url_ = std::make_unique<ScopedServiceUrl>(server_.BaseUrl());
  }

  int Count(const std::string& what) const {
    std::lock_guard<std::mutex> g(mu_);
    auto it = bodies_.find(what);
    return it == bodies_.end() ? 0 : static_cast<int>(it->second.size());
  }
  std::vector<std::string> Bodies(const std::string& what) const {
    std::lock_guard<std::mutex> g(mu_);
    auto it = bodies_.find(what);
    return it == bodies_.end() ? std::vector<std::string>{} : it->second;
  }
  int TotalRequests() const { return server_.RequestCount(); }

  std::map<std::string, std::string> papers;  // file name -> bytes (set before Start)
  Reply startExam, endExam, submit;
  Reply token = [](const std::string&) { return std::string(); };

 private:
  HttpsTestServer::Handler Handler(const std::string& what, Reply* reply) {
    return [this, what, reply](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard<std::mutex> g(mu_);
        bodies_[what].push_back(req.body);
      }
      res.set_content((*reply)(req.body), "text/plain");
    };
  }

  HttpsTestServer server_;
  std::unique_ptr<ScopedServiceUrl> url_;
  mutable std::mutex mu_;
  std::map<std::string, std::vector<std::string>> bodies_;
  int nextId_ = 101;
};

}  // namespace sorvanta::testing
