#include "service/requests.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>

#include "support/https_test_server.h"
#include "base/log.h"
#include "support/temp_dir.h"

namespace sorvanta {
namespace {

using sorvanta::testing::HttpsTestServer;
using sorvanta::testing::ReadWholeFile;

int CountOf(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// Every request test runs with a real logger writing into a fresh folder.
class RequestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.ok());
    logger_ = std::make_unique<xLogMessager>("sorvanta", folder_.path(), true);
  }

  sorvanta::testing::TempDir folder_{"requests-log"};  // outlives the logger
  std::unique_ptr<xLogMessager> logger_;
};

TEST_F(RequestsTest, HttpErrorPageIsTheReply) {
  HttpsTestServer server;
  server.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("no such page", "text/plain");
  });
  server.Start();
  EXPECT_EQ(ServiceGetText(server.Url("missing")).value_or(""), "no such page");
  EXPECT_EQ(ServiceGetBinary(server.Url("missing")).value_or(""), "no such page");
}

TEST_F(RequestsTest, TextPostSendsTheBodyAndConvertsLineEnds) {
  HttpsTestServer server;
  std::string receivedBody;
  std::string receivedMethod;
  server.Post("/sorvanta/startexam", [&](const httplib::Request& req, httplib::Response& res) {
    receivedBody = req.body;
    receivedMethod = req.method;
    res.set_content("ok\n", "text/plain");
  });
  server.Start();
  EXPECT_EQ(ServicePostText(server.Url("sorvanta/startexam"), "{\"a\":1}").value_or(""), "ok\r\n");
  EXPECT_EQ(receivedMethod, "POST");
  EXPECT_EQ(receivedBody, "{\"a\":1}");
}

TEST_F(RequestsTest, ChineseTextStaysIntactAndBinaryBytesAreUntouched) {
  const std::string chinese = "服务器通讯中......\n跑分";
  std::string allBytes;
  for (int b = 0; b < 256; ++b) allBytes.push_back(static_cast<char>(b));
  allBytes += "\n\r\n";

  HttpsTestServer server;
  server.Get("/text", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(chinese, "text/plain; charset=utf-8");
  });
  server.Post("/text", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(chinese, "text/plain; charset=utf-8");
  });
  server.Get("/exampaper/.*", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(allBytes, "application/octet-stream");
  });
  server.Start();

  EXPECT_EQ(ServiceGetText(server.Url("text")).value_or(""), "服务器通讯中......\r\n跑分");
  EXPECT_EQ(ServicePostText(server.Url("text"), "x").value_or(""), "服务器通讯中......\r\n跑分");
  EXPECT_EQ(ServiceGetBinary(server.Url("text")).value_or(""), chinese);
  EXPECT_EQ(ServiceGetBinary(server.Url("exampaper/paper_1.bin")).value_or(""), allBytes);
}

TEST_F(RequestsTest, UnreachableServiceGivesEmptyReplyAndFiveErrorLinesInTheFile) {
  const int port = sorvanta::testing::UnusedLoopbackPort();
  ASSERT_GT(port, 0);
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/sorvanta/endexam";

  std::string echoed;
  logger_->SetEcho([&echoed](const std::string& line) { echoed += line + "\n"; });
  EXPECT_EQ(ServicePostText(url, "body").value_or(""), "");
  logger_->SetEcho(nullptr);

  const std::string errors = ReadWholeFile(logger_->PathOf(kLogError));
  EXPECT_EQ(CountOf(errors, "curl err ret="), 5);
  EXPECT_EQ(CountOf(errors, "curl err ret=7 url=" + url + "\n"), 5);  // couldn't connect
  EXPECT_EQ(CountOf(ReadWholeFile(logger_->PathOf(kLogNotice)), url), 1);
  // The user is told once, in words, by the caller; libcurl's codes stay in the file.
  EXPECT_EQ(CountOf(echoed, "curl err ret="), 0);
  EXPECT_EQ(CountOf(echoed, url + "\n"), 1);
}

TEST_F(RequestsTest, RetryReturnsOnlyTheSuccessfulAttemptsBody) {
  HttpsTestServer server;
  std::atomic<int> attempts{0};
  server.Get("/update/.*", [&](const httplib::Request&, httplib::Response& res) {
    if (++attempts <= 2) {
      HttpsTestServer::SendTruncated(res, "LEFTOVER", 1000);
    } else {
      res.set_content("1.0.7\n", "text/plain");
    }
  });
  server.Start();

  EXPECT_EQ(ServiceGetText(server.Url("update/sorvanta/versionPC")).value_or(""), "1.0.7\r\n");
  EXPECT_EQ(attempts.load(), 3);
  EXPECT_EQ(CountOf(ReadWholeFile(logger_->PathOf(kLogError)), "curl err ret="), 2);
}

// A reply that never ends must fail the attempt, not grow until memory runs out; the
// binary limit is far above the text one, and a length announced beyond it fails at once.
TEST_F(RequestsTest, RepliesPastTheirLimitFailLikeTransportErrors) {
  const size_t justOverText = kMaxTextReplyBytes + (1 << 20);
  HttpsTestServer server;
  server.Get("/stream", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/octet-stream", [justOverText](size_t offset, httplib::DataSink& sink) {
      static const std::string chunk(64 * 1024, 'x');
      if (offset >= justOverText) {
        sink.done();
        return true;
      }
      return sink.write(chunk.data(), std::min(chunk.size(), justOverText - offset));
    });
  });
  server.Get("/announced", [](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(kMaxBinaryReplyBytes + 1, "application/octet-stream",
                             [](size_t, size_t, httplib::DataSink& sink) {
                               static const std::string chunk(4096, 'y');
                               return sink.write(chunk.data(), chunk.size());
                             });
  });
  server.Start();

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ServiceGetText(server.Url("stream")).value_or(""), "");
  const std::string errors = ReadWholeFile(logger_->PathOf(kLogError));
  EXPECT_EQ(CountOf(errors, "curl err ret=23 url="), 5);  // write error, each attempt

  EXPECT_EQ(ServiceGetBinary(server.Url("stream")).value_or("").size(), justOverText);
  EXPECT_EQ(ServiceGetBinary(server.Url("announced")).value_or(""), "");
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(CountOf(ReadWholeFile(logger_->PathOf(kLogError)), "curl err ret=63 url="), 5);
}

// A download cut short every time is no download: never a partial paper.
TEST_F(RequestsTest, TransferCutShortEveryTimeGivesNothing) {
  HttpsTestServer server;
  std::atomic<int> attempts{0};
  server.Get("/exampaper/.*", [&](const httplib::Request&, httplib::Response& res) {
    ++attempts;
    HttpsTestServer::SendTruncated(res, std::string(3000, 'p'), 8192);
  });
  server.Start();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ServiceGetBinary(server.Url("exampaper/p1.bin")).value_or(""), "");
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(attempts.load(), 5);
}

// The redirect limits users run with: 5 for the text operations, 10 for the binary GET;
// one more redirect fails every attempt.
TEST_F(RequestsTest, RedirectLimitsOfTheThreeOperations) {
  HttpsTestServer server;
  auto hop = [](const httplib::Request& req, httplib::Response& res) {
    const int left = std::stoi(req.matches[1]);
    if (left == 0) {
      res.set_content("end", "text/plain");
    } else {
      res.set_redirect("/hop/" + std::to_string(left - 1));
    }
  };
  server.Get(R"(/hop/(\d+))", hop);
  server.Post(R"(/hop/(\d+))", hop);
  server.Start();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ServiceGetText(server.Url("hop/5")).value_or(""), "end");
  EXPECT_EQ(ServiceGetText(server.Url("hop/6")).value_or(""), "");
  EXPECT_EQ(ServicePostText(server.Url("hop/5"), "x").value_or(""), "end");
  EXPECT_EQ(ServicePostText(server.Url("hop/6"), "x").value_or(""), "");
  EXPECT_EQ(ServiceGetBinary(server.Url("hop/10")).value_or(""), "end");
  EXPECT_EQ(ServiceGetBinary(server.Url("hop/11")).value_or(""), "");
  ::testing::internal::GetCapturedStdout();
}

// A failed request says why, so that a caller can tell a dead network from a refused peer.
TEST_F(RequestsTest, FailuresCarryTheirReason) {
  HttpsTestServer server;
  server.Get("/big", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(kMaxTextReplyBytes + 1, 'b'), "text/plain");
  });
  server.Get("/cut", [](const httplib::Request&, httplib::Response& res) {
    HttpsTestServer::SendTruncated(res, std::string(3000, 'p'), 8192);
  });
  server.Get(R"(/hop/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    const int left = std::stoi(req.matches[1]);
    if (left == 0) {
      res.set_content("end", "text/plain");
    } else {
      res.set_redirect("/hop/" + std::to_string(left - 1));
    }
  });
  server.Start();
  const int closedPort = sorvanta::testing::UnusedLoopbackPort();
  ASSERT_GT(closedPort, 0);
  const std::string nobody = "https://127.0.0.1:" + std::to_string(closedPort) + "/sorvanta/getTokenV3";
  const std::string plainHttp = "http://127.0.0.1:" + std::to_string(server.Port()) + "/hop/0";

  struct Case {
    const char* what;
    std::function<Result<std::string>()> request;
    StatusCode code;
    std::string url, text;  // what the user is told (ServiceFailureText)
  };
  const std::string closed = "127.0.0.1:" + std::to_string(closedPort);
  const std::string served = "127.0.0.1:" + std::to_string(server.Port());
  const Case cases[] = {
      {"empty address", [] { return ServicePostText("", "x"); }, StatusCode::kInvalidArgument, "", "没有设置服务器地址"},
      {"nothing listens", [&] { return ServicePostText(nobody, "x"); }, StatusCode::kUnreachable, nobody,
       "无法连接服务器 " + closed + "：连接被拒绝（服务没有运行？）"},
      {"reply past its limit", [&] { return ServiceGetText(server.Url("big")); }, StatusCode::kTooLarge,
       server.Url("big"), "服务器 " + served + " 的应答过大，已放弃"},
      {"reply cut short", [&] { return ServiceGetBinary(server.Url("cut")); }, StatusCode::kTransferFailed,
       server.Url("cut"), "与服务器 " + served + " 的通讯中断"},
      {"one redirect too many", [&] { return ServiceGetText(server.Url("hop/6")); }, StatusCode::kTransferFailed,
       server.Url("hop/6"), "与服务器 " + served + " 的通讯中断"},
      {"self-signed peer", [&] { return ServiceGetVerifiedText(server.Url("hop/0")); }, StatusCode::kUntrusted,
       server.Url("hop/0"), "服务器 " + served + " 的证书无法验证"},
      {"plain http", [&] { return ServiceGetVerifiedBinary(plainHttp); }, StatusCode::kUntrusted, plainHttp,
       "服务器 " + served + " 的证书无法验证"},
  };
  ::testing::internal::CaptureStdout();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Result<std::string> reply = c.request();
    EXPECT_FALSE(reply.ok());
    EXPECT_EQ(reply.status().code(), c.code) << reply.status().message();
    EXPECT_FALSE(reply.status().message().empty());
    EXPECT_EQ(ServiceFailureText(reply.status(), c.url), c.text);
  }
  ::testing::internal::GetCapturedStdout();
  // The same server answers when nothing is wrong with the request.
  EXPECT_EQ(ServiceGetText(server.Url("hop/5")).value_or(""), "end");
}

TEST(RequestDefaults, TimeOutsOfTheThreeOperations) {
  EXPECT_EQ(kTextPostTimeoutSec, 20);
  EXPECT_EQ(kTextGetTimeoutSec, 5);
  EXPECT_EQ(kBinaryGetTimeoutSec, 10);
}

TEST_F(RequestsTest, EmptyUrlIsRefusedWithoutLogging) {
  EXPECT_EQ(ServiceGetText("").value_or(""), "");
  EXPECT_EQ(ServicePostText("", "x").value_or(""), "");
  EXPECT_EQ(ServiceGetBinary("").value_or(""), "");
  // The Notice file holds the start marker alone.
  EXPECT_EQ(CountOf(ReadWholeFile(logger_->PathOf(kLogNotice)), "\n"), 1);
}

TEST(ServiceUrlTest, EnvironmentOverridesTheCompiledInBase) {
  {
    sorvanta::testing::ScopedServiceUrl scoped("https://example.test:9/");
    EXPECT_EQ(ServiceBaseUrl(), "https://example.test:9/");
    EXPECT_EQ(ServiceUrl("sorvanta/getTokenV3"), "https://example.test:9/sorvanta/getTokenV3");
  }
  {
    // A base without its final "/" still gives well-formed service URLs.
    sorvanta::testing::ScopedServiceUrl scoped("https://example.test:9/base");
    EXPECT_EQ(ServiceBaseUrl(), "https://example.test:9/base/");
    EXPECT_EQ(ServiceUrl("sorvanta/endexam"), "https://example.test:9/base/sorvanta/endexam");
  }
  const std::string base = ServiceBaseUrl();
  ASSERT_FALSE(base.empty());
  EXPECT_EQ(base.back(), '/');
  EXPECT_EQ(base.rfind("https://", 0), 0u);
}

}  // namespace
}  // namespace sorvanta
