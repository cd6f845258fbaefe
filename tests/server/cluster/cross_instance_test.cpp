// Two service instances on one PostgreSQL store behind HAProxy, started once for the whole
// program by scripts/cluster: what one instance stores the other one serves, limits hold
// across both, the PROXY header carries the client's address, and an instance killed under
// load loses no acknowledged score.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <libpq-fe.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "base/crypto.h"
#include "base/text.h"
#include "pg_cluster.h"
#include "server/exam_protocol.h"
#include "server/reference_service.h"
#include "service/requests.h"
#include "service_client.h"
#include "support/temp_dir.h"

namespace sorvanta::testing {
namespace {

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

void UseService(const std::string& url) { setenv("SORVANTA_SERVICE_URL", url.c_str(), 1); }

bool IsAccepted(const std::string& reply) { return SplitPieces(reply, "||").size() == 2; }

// A one-value SQL query on the cluster's store.
std::string QueryStore(const std::string& uri, const std::string& sql) {
  PGconn* c = PQconnectdb(uri.c_str());
  PGresult* r = PQexec(c, sql.c_str());
  std::string value = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? PQgetvalue(r, 0, 0) : "";
  PQclear(r);
  PQfinish(c);
  return value;
}

// One exam step by step at whatever service SORVANTA_SERVICE_URL names when each step runs:
// the paper, the start, then (after `between`, which may switch instances) the end. False on
// any refusal or lost request, without failing the test: under a kill, those are expected.
bool SitQuietly(const std::string& credential, const std::string& paperName, SatExam* exam,
                const std::function<void()>& between = [] {}) {
  exam->paperName = paperName;
  exam->paper = ServiceGetBinary(ServiceUrl("exampaper/" + paperName)).value_or("");
  Json::Value started;
  if (exam->paper.size() < 96 || !Json::Reader().parse(StartExamText(credential, paperName), started) ||
      !started.isArray() || started.empty()) {
    return false;
  }
  exam->id = started[0]["id"].asInt64();
  exam->sm4key = started[0]["sm4key"].asString();
  exam->answers.clear();
  for (int k = 0; k < 3; ++k) exam->answers += server::BlockAnswer(exam->paper.substr(k * 32, 32));
  between();
  return EndExamText(credential, exam->id, Sm3HexDigest(exam->answers.data(), exam->answers.size())) == "ok";
}

class CrossInstanceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir("cluster");
    status_ = RunClusterScript("start " + dir_->path() + " --instances 2 --no-fsync --bin " SORVANTA_SERVICE_BIN
                               " -- --quiet --exam-budget-ms 2000 --rate-limit 6 --address-limit 0");
  }
  static void TearDownTestSuite() {
    RunClusterScript("stop " + dir_->path());
    delete dir_;
  }
  void SetUp() override {
    if (status_ == 3) GTEST_SKIP() << "PostgreSQL or HAProxy is not installed: cross-instance tests skipped";
    ASSERT_EQ(status_, 0) << "scripts/cluster failed; logs in " << dir_->path();
    front_ = FirstLine(dir_->Path("url"));
    one_ = FirstLine(dir_->Path("instance-1.url"));
    two_ = FirstLine(dir_->Path("instance-2.url"));
    uri_ = FirstLine(dir_->Path("store.uri"));
  }
  void TearDown() override { unsetenv("SORVANTA_SERVICE_URL"); }

  static TempDir* dir_;
  static int status_;
  std::string front_, one_, two_, uri_;
};
TempDir* CrossInstanceTest::dir_ = nullptr;
int CrossInstanceTest::status_ = -1;

TEST_F(CrossInstanceTest, WhatOneInstanceStoredTheOtherServes) {
  UseService(one_);
  IssuedToken token = RequestToken("cross-instance", 1);
  ASSERT_EQ(token.papers.size(), 2u);
  // The single-core exam entirely at the second instance; the multi-core one started at
  // the first and ended at the second.
  UseService(two_);
  SatExam single, multi;
  ASSERT_TRUE(SitQuietly(token.credential, token.papers[0], &single));
  UseService(one_);
  ASSERT_TRUE(SitQuietly(token.credential, token.papers[1], &multi, [this] { UseService(two_); }));

  std::string body = SubmissionBody(token, ResultObject(single, {multi}, "Cross Instance CPU"));
  UseService(one_);
  std::string reply = SubmitText(body);
  ASSERT_TRUE(IsAccepted(reply)) << reply;
  // The client's retry after a lost reply lands at the other instance: the stored reply.
  UseService(two_);
  EXPECT_EQ(SubmitText(body), reply);

  std::set<std::string> rankings;
  for (const std::string& url : {one_, two_, front_}) {
    rankings.insert(ServiceGetText(url + "RankingList/cpu.json").value_or("unreadable at " + url));
  }
  ASSERT_EQ(rankings.size(), 1u);
  EXPECT_NE(rankings.begin()->find("Cross Instance CPU"), std::string::npos) << *rankings.begin();
}

TEST_F(CrossInstanceTest, TokenLimitHoldsAcrossInstances) {
  UseService(front_);  // HAProxy spreads the requests over both instances
  std::atomic<int> issued{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 40; ++i) {
    threads.emplace_back([&issued] {
      IssuedToken t;
      if (ParseToken(RequestTokenText("cross-limited", 1), &t)) ++issued;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(issued.load(), 6);  // --rate-limit 6: per identity and address, counted in the store
}

TEST_F(CrossInstanceTest, ProxyHeaderCarriesTheClientAddress) {
  // A token requested from 127.0.0.2 through HAProxy is stored for 127.0.0.2, not for the
  // proxy's own address.
  std::string body =
      server::MakeTokenRequestBody(server::MakeFingerprint("cross-address", std::time(nullptr)), 1);
  CURL* curl = curl_easy_init();
  std::string url = front_ + "sorvanta/getTokenV3", reply;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_INTERFACE, "host!127.0.0.2");
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* p, size_t s, size_t n, void* out) {
    static_cast<std::string*>(out)->append(p, s * n);
    return s * n;
  });
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  CURLcode code = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  ASSERT_EQ(code, CURLE_OK) << curl_easy_strerror(code);
  IssuedToken token;
  ASSERT_TRUE(ParseToken(reply, &token)) << reply;
  EXPECT_EQ(QueryStore(uri_, "SELECT address FROM tokens WHERE credential = '" + token.credential + "'"),
            "127.0.0.2");
}

TEST_F(CrossInstanceTest, AServiceOnItsOwnSqliteFileCannotJoinTheSharedFolder) {
  server::ServiceOptions o;
  o.port = 0;
  o.dataDir = dir_->Path("data");
  std::string error;
  EXPECT_FALSE(server::ReferenceService::Start(o, &error));
  EXPECT_NE(error.find("already using the data folder"), std::string::npos) << error;
}

// Declared last: it leaves one instance dead.
TEST_F(CrossInstanceTest, KilledInstanceLosesNoAcknowledgedScore) {
  UseService(front_);
  const int runs = 24, killAfter = 5;
  std::atomic<int> next{0}, acknowledged{0};
  std::atomic<bool> killed{false};
  std::mutex mu;
  std::vector<std::string> tags;
  const pid_t victim = std::atoi(FirstLine(dir_->Path("instance-1.pid")).c_str());
  ASSERT_GT(victim, 0);
  std::vector<std::thread> threads;
  for (int w = 0; w < 4; ++w) {
    threads.emplace_back([&] {
      for (int i; (i = next++) < runs;) {
        std::string tag = "Killed Load " + std::to_string(i);
        IssuedToken token;
        SatExam single, multi;
        if (!ParseToken(RequestTokenText("cross-kill-" + std::to_string(i), 1), &token) || token.papers.size() != 2 ||
            !SitQuietly(token.credential, token.papers[0], &single) ||
            !SitQuietly(token.credential, token.papers[1], &multi)) {
          continue;
        }
        if (!IsAccepted(SubmitText(SubmissionBody(token, ResultObject(single, {multi}, tag))))) continue;
        std::lock_guard<std::mutex> lock(mu);
        tags.push_back(tag);
        if (++acknowledged == killAfter) killed = ::kill(victim, SIGKILL) == 0;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_TRUE(killed.load()) << "the instance was not killed";
  EXPECT_GT(acknowledged.load(), runs / 2) << "the surviving instance should carry the rest of the load";
  // Every acknowledged score is in the ranking, read through the survivor.
  std::string ranking = ServiceGetText(front_ + "RankingList/cpu.json").value_or("");
  for (const std::string& tag : tags) EXPECT_NE(ranking.find("\"" + tag + "\""), std::string::npos) << tag;
  EXPECT_EQ(QueryStore(uri_, "SELECT count(*) FROM cpu_scores WHERE convert_from(socname, 'UTF8') LIKE 'Killed Load %'"),
            std::to_string(tags.size()));
}

}  // namespace
}  // namespace sorvanta::testing
