// Time-dependent rules of the service, driven by a test clock without HTTP.
#include "server/service_logic.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <ctime>
#include <thread>
#include <vector>

#include "cpubench/exam_options.h"
#include "server/exam_protocol.h"
#include "base/crypto.h"
#include "service/requests.h"
#include "base/text.h"
#include "support/scoped_env_var.h"
#include "support/temp_dir.h"

namespace sorvanta::server {
namespace {

class ServiceLogicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    std::string error;
    store_ = OpenSqliteStore(dir_.Path("s.sqlite"), &error);
    ASSERT_TRUE(store_) << error;
    options_.dataDir = dir_.path();
    options_.rateLimitTokens = 0;
    options_.paperBytes = 1024;
    logic_ = std::make_unique<ServiceLogic>(store_.get(), options_);
    logic_->SetClockForTesting([this] { return nowMs_; });
  }

  std::vector<std::string> Token(const std::string& identity, int64_t fingerprintTime) {
    Reply r = logic_->IssueToken(MakeTokenRequestBody(MakeFingerprint(identity, fingerprintTime), 1));
    return r.ok ? SplitPieces(r.body, "||") : std::vector<std::string>{};
  }
  std::string StartBody(const std::string& credential, const std::string& paper) {
    return "{\"token\":\"" + credential + "\",\"examstart\":[{\"examFile\":\"" + paper + "\"}]}";
  }

  int64_t nowMs_ = 1765000000000LL;
  sorvanta::testing::TempDir dir_{"logic"};
  ServiceOptions options_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<ServiceLogic> logic_;
};

TEST_F(ServiceLogicTest, FingerprintTimeMustBeCloseToTheServiceClock) {
  int64_t now = nowMs_ / 1000;
  EXPECT_EQ(Token("m", now - options_.fingerprintMaxAgeSec).size(), 3u);
  EXPECT_EQ(Token("m", now + options_.fingerprintMaxAgeSec).size(), 3u);
  EXPECT_TRUE(Token("m", now - options_.fingerprintMaxAgeSec - 1).empty());
  EXPECT_TRUE(Token("m", now + options_.fingerprintMaxAgeSec + 1).empty());
}

TEST_F(ServiceLogicTest, ExpiredTokensStopWorkingAndAreForgottenLater) {
  std::vector<std::string> token = Token("m", nowMs_ / 1000);
  ASSERT_EQ(token.size(), 3u);
  EXPECT_TRUE(logic_->StartExam(StartBody(token[0], token[1])).ok);
  nowMs_ += (options_.tokenLifetimeSec + 1) * 1000LL;
  Reply late = logic_->StartExam(StartBody(token[0], token[2]));
  EXPECT_FALSE(late.ok);
  EXPECT_NE(late.body.find("过期"), std::string::npos) << late.body;
  Reply submit = logic_->SubmitCpuScore(token[0] + "||AAAAAAAAAAAAAAAAAAAAAA==");
  EXPECT_NE(submit.body.find("过期"), std::string::npos) << submit.body;

  // Issuing a token later clears out tokens older than twice the lifetime.
  nowMs_ += (options_.tokenLifetimeSec + 61) * 1000LL;
  ASSERT_EQ(Token("n", nowMs_ / 1000).size(), 3u);
  EXPECT_FALSE(store_->FindToken(token[0]));
  std::string bytes;
  EXPECT_FALSE(logic_->Paper(token[1], &bytes));
}

TEST_F(ServiceLogicTest, ExamsMustStartSoonAfterThePapersWereFetched) {
  // 60 s slack + 2 x (10 s budget + 3 s tolerance) + 0.5 s x 2 papers = 87 s.
  const int64_t allowedMs = 87000;
  std::string bytes;
  std::vector<std::string> late = Token("late", nowMs_ / 1000);
  ASSERT_EQ(late.size(), 3u);
  ASSERT_TRUE(logic_->Paper(late[1], &bytes));
  nowMs_ += allowedMs + 1;
  ASSERT_TRUE(logic_->Paper(late[2], &bytes));  // fetching again does not restart the clock
  Reply refused = logic_->StartExam(StartBody(late[0], late[1]));
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.body.find("试卷下载后过久才开考"), std::string::npos) << refused.body;

  std::vector<std::string> prompt = Token("prompt", nowMs_ / 1000);
  ASSERT_TRUE(logic_->Paper(prompt[1], &bytes));
  nowMs_ += allowedMs - 1000;
  Reply started = logic_->StartExam(StartBody(prompt[0], prompt[1]));
  EXPECT_TRUE(started.ok) << started.body;
  nowMs_ += 10000;  // a retry of the same start later still gets its exam
  EXPECT_EQ(logic_->StartExam(StartBody(prompt[0], prompt[1])).body, started.body);
}

TEST_F(ServiceLogicTest, ScoreFormulas) {
  EXPECT_EQ(ExamScore(500, 10000, 10000), 5000);
  EXPECT_EQ(ExamScore(500, 10400, 10000), 4807);  // a longer exam counts its real length
  EXPECT_EQ(ExamScore(500, 4000, 10000), 5000);   // stopping early gains nothing
  EXPECT_EQ(ExamScore(0, 10000, 10000), 0);
  const double nvme[7] = {2000, 1800, 3000, 150, 60, 1500, 2000};
  EXPECT_EQ(DiskScore(nvme), 950 + 1500 + 1200 + 600 + 1500 + 3000);
  const double none[7] = {};
  EXPECT_EQ(DiskScore(none), 0);
}

// The exam length users run with, on both sides: a client budget shorter than the service's
// would score every machine too low, a longer one would have its exams refused.
TEST(ShippedDefaults, ExamTimingAgreesBetweenClientAndService) {
  const cpubench::CpuExamOptions client;
  const ServiceOptions service;
  EXPECT_EQ(client.examBudgetMs, 10000u);
  EXPECT_EQ(client.paceStepMs, 1000u);
  EXPECT_EQ(service.examBudgetMs, 10000);
  EXPECT_EQ(static_cast<uint32_t>(service.examBudgetMs), client.examBudgetMs);
  // Both phases (11 pace steps each) fit well inside the token's lifetime.
  EXPECT_GT(service.tokenLifetimeSec * 1000LL, 2 * 11 * static_cast<long long>(client.paceStepMs) + 60000);
}

// Without configuration the program looks for the service where the service listens.
TEST(ShippedDefaults, ClientFindsTheServiceAtItsDefaultAddress) {
  sorvanta::testing::ScopedEnvVar unset("SORVANTA_SERVICE_URL", "");
  const ServiceOptions service;
  EXPECT_EQ(ServiceBaseUrl(), "https://" + service.listen + ":" + std::to_string(service.port) + "/");
  EXPECT_EQ(ServiceBaseUrl(), "https://127.0.0.1:8443/");
}

}  // namespace
}  // namespace sorvanta::server

namespace sorvanta::server {
namespace {

TEST(ServiceTokenLimits, HoldUnderConcurrencyPerAddressAndCannotLockOutAnotherAddress) {
  sorvanta::testing::TempDir dir("limits");
  std::string error;
  std::unique_ptr<Store> store = OpenSqliteStore(dir.Path("s.sqlite"), &error);
  ASSERT_TRUE(store) << error;
  ServiceOptions options;
  options.rateLimitTokens = 6;
  options.rateLimitPerAddress = 20;
  ServiceLogic logic(store.get(), options);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  auto body = [now](const std::string& identity) { return MakeTokenRequestBody(MakeFingerprint(identity, now), 2); };
  auto granted = [](const Reply& r) { return r.ok && SplitPieces(r.body, "||").size() == 4; };

  // 40 requests at once with one identity from one address: exactly the limit.
  std::atomic<int> tokens{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 40; ++i) {
    threads.emplace_back([&] { tokens += granted(logic.IssueToken(body("same"), "192.0.2.1")); });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(tokens.load(), 6);
  Reply refused = logic.IssueToken(body("same"), "192.0.2.1");
  EXPECT_EQ(Base64Decode(refused.body).size(), 16u);  // "come back later"

  // Made-up identities from one address: the address limit.
  int minted = 0;
  for (int i = 0; i < 30; ++i) minted += granted(logic.IssueToken(body("made-up-" + std::to_string(i)), "192.0.2.2"));
  EXPECT_EQ(minted, 20);

  // Someone elsewhere sending a machine's identity does not use up that machine's quota.
  for (int i = 0; i < 8; ++i) logic.IssueToken(body("victim"), "192.0.2.3");
  EXPECT_TRUE(granted(logic.IssueToken(body("victim"), "192.0.2.4")));
}

TEST(ServiceTokenLimits, GarbageTokenRequestsUseUpTheAddressBudgetBeforeAnyDecryption) {
  sorvanta::testing::TempDir dir("limits");
  std::string error;
  std::unique_ptr<Store> store = OpenSqliteStore(dir.Path("s.sqlite"), &error);
  ASSERT_TRUE(store) << error;
  ServiceOptions options;
  options.tokenRequestBurst = 3;
  ServiceLogic logic(store.get(), options);
  const std::string garbage = Base64Encode(std::string(64, '\x5a') + std::string(1, '\0'));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(logic.IssueToken(garbage, "198.51.100.1").body, "");
  // Spent: "come back later" (a 16-byte credential) without looking at the body.
  EXPECT_EQ(Base64Decode(logic.IssueToken(garbage, "198.51.100.1").body).size(), 16u);
  EXPECT_EQ(logic.IssueToken(garbage, "198.51.100.2").body, "");  // another address is not affected
}

}  // namespace
}  // namespace sorvanta::server
