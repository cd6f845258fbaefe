#include "cpubench/exam_session.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stop_token>

#include "cpubench/cpu_history.h"
#include "fake_exam_service.h"
#include "support/recording_events.h"
#include "base/crypto.h"
#include "base/log.h"
#include "service/requests.h"
#include "support/scoped_env_var.h"
#include "support/temp_dir.h"

namespace sorvanta::cpubench {
namespace {

namespace fs = std::filesystem;
using testing::FakeExamService;
using testing::RecordingCpuEvents;

const std::string kKey = "0123456789abcdef";

std::string Credential(int rounds) { return Base64Encode(kKey + static_cast<char>(rounds)); }

// Undoes the submission: body = credential || Base64(cipher), cipher = rounds SM4 passes.
std::string DecryptSubmission(const std::string& body, int rounds) {
  size_t bar = body.find("||");
  std::string data = Base64Decode(body.substr(bar + 2));
  for (int r = 0; r < rounds; ++r) {
    size_t len = data.size();
    Sm4EcbCrypt(reinterpret_cast<uint8_t*>(data.data()), reinterpret_cast<const uint8_t*>(kKey.data()),
                reinterpret_cast<const uint8_t*>(data.data()), &len, 0);
  }
  return data.substr(0, data.find('\0'));
}

// Runs sessions with a short exam and a private application-data folder.
class ExamSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dataDir_.ok());
    options.examBudgetMs = 10000;  // the papers are tiny: every block gets worked
    options.paceStepMs = 20;
    options.countProcessors = [] { return 2; };
  }

  // A token for two processors: credential, single-core paper, two multi-core papers.
  Json::Value Device(const std::string& token) {
    Json::Value d(Json::objectValue);
    d["socname"] = "Example CPU";
    d["CPU_ABI"] = "x86_64";
    d["token"] = token;
    return d;
  }
  void ServePapers() {
    service.papers["s.bin"] = std::string(64, 's');
    service.papers["m0.bin"] = std::string(96, 'a');
    service.papers["m1.bin"] = std::string(40, 'b');
  }
  std::vector<std::string> SessionLines() const {
    static const std::vector<std::string> worker = {"开始考试失败！", "SM4 FAILED!!!"};
    std::vector<std::string> lines;
    for (const std::string& l : events.Logs())
      if (l.rfind("线程", 0) != 0 && l.rfind("结束考试失败", 0) != 0 &&
          std::find(worker.begin(), worker.end(), l) == worker.end())
        lines.push_back(l);
    return lines;
  }

  RecordingCpuEvents events;
  FakeExamService service;
  CpuExamOptions options;
  testing::TempDir dataDir_{"cpusession"};
  testing::ScopedEnvVar xdgDataHome_{"XDG_DATA_HOME", dataDir_.path()};
};

// A paper name goes into a request path, the log and the terminal: only a plain file name
// ([A-Za-z0-9._-], not "." or "..") is taken.
TEST_F(ExamSessionTest, TokenWithWrongPieceCountOrBadPaperNameFinishesWithAnErrorAndNoRequest) {
  service.Start();
  for (const std::string& token :
       {Credential(1) + "||s.bin||m0.bin", Credential(1) + "||s.bin||m0.bin||m1.bin||m2.bin||m3.bin", std::string(),
        Credential(1) + "||s.bin||m0.bin||\n[0x1]2026/ 1/ 1 0: 0: 0:FORGED LOG LINE",
        Credential(1) + "||\x1b[31ms.bin||m0.bin||m1.bin", Credential(1) + "||s.bin||..||m1.bin",
        Credential(1) + "||s.bin||m0.bin||../m1.bin"}) {
    SCOPED_TRACE(token);
    RecordingCpuEvents local;
    CpuExamOutcome out = RunCpuExamSession(Device(token), options, local);
    ASSERT_EQ(local.Of("done").size(), 1u);
    EXPECT_EQ(local.Of("done")[0].text, "服务器返回错误信息");
    EXPECT_EQ(local.Of("done")[0].second, "");
    EXPECT_EQ(local.Numbers("progress"), std::vector<int>{10});
    EXPECT_TRUE(local.Logs().empty());
    EXPECT_FALSE(out.scored);
  }
  EXPECT_EQ(service.TotalRequests(), 0);
}

TEST_F(ExamSessionTest, WholeSessionReportsInOrderSubmitsTheResultAndStoresTheRecord) {
  ServePapers();
  const std::string record = "{\"singlecore\":1000,\"runtime\":1}";
  service.submit = [&](const std::string&) { return "单核 1000||" + record; };
  service.Start();
  const int rounds = 3;
  CpuExamOutcome out = RunCpuExamSession(Device(Credential(rounds) + "||s.bin||m0.bin||m1.bin"), options, events);

  const std::vector<std::string> want = {"请求试卷中....", "请求开始单核考试....", "开始单核考试....", "开始！使用1核！",
                                         "停笔！", "请求开始多核考试....", "开始多核考试....", "开始！使用2核！",
                                         "停笔！", "考试结束，等待判分...."};
  EXPECT_EQ(SessionLines(), want);
  std::vector<int> progress = {10, 22, 45, 67, 100};
  for (int p = 5; p <= 100; p += 5) progress.push_back(p);
  EXPECT_EQ(events.Numbers("progress"), progress);
  EXPECT_EQ(service.Bodies("paper"), (std::vector<std::string>{"s.bin", "m0.bin", "m1.bin"}));
  EXPECT_EQ(service.Count("startexam"), 3);
  EXPECT_EQ(service.Count("endexam"), 3);

  // The submission: credential as received, then the encrypted result object and tag.
  ASSERT_EQ(service.Count("submit"), 1);
  const std::string body = service.Bodies("submit")[0];
  EXPECT_EQ(body.substr(0, body.find("||")), Credential(rounds));
  std::string plain = DecryptSubmission(body, rounds);
  const std::string tail = "||" + ClientTag();
  ASSERT_GE(plain.size(), tail.size());
  EXPECT_EQ(plain.substr(plain.size() - tail.size()), tail);
  Json::Value result;
  ASSERT_TRUE(Json::Reader().parse(plain.substr(0, plain.size() - tail.size()), result));
  EXPECT_FALSE(result.isMember("token"));
  EXPECT_EQ(result["socname"].asString(), "Example CPU");
  EXPECT_EQ(result["singlecore"]["coreid"].asInt(), 1);
  EXPECT_EQ(Base64Decode(result["singlecore"]["result"].asString()).size(), 64u);  // 2 blocks
  ASSERT_EQ(result["multicore"].size(), 2u);
  EXPECT_EQ(result["multicore"][0]["coreid"].asInt(), 0);
  EXPECT_EQ(result["multicore"][1]["coreid"].asInt(), 1);
  EXPECT_EQ(Base64Decode(result["multicore"][0]["result"].asString()).size(), 96u);
  EXPECT_EQ(Base64Decode(result["multicore"][1]["result"].asString()).size(), 32u);
  std::vector<int> ids = {result["singlecore"]["id"].asInt(), result["multicore"][0]["id"].asInt(),
                          result["multicore"][1]["id"].asInt()};
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<int>{101, 102, 103}));

  ASSERT_EQ(events.Of("done").size(), 1u);
  EXPECT_EQ(events.Of("done")[0].text, "单核 1000");
  EXPECT_EQ(events.Of("done")[0].second, record);
  EXPECT_TRUE(out.scored);
  EXPECT_EQ(testing::ReadWholeFile(CpuHistoryPath()), "[\r\n" + record + "\r\n]");
  EXPECT_EQ(events.Calls().back().kind, "done");
}

TEST_F(ExamSessionTest, DifferentSecondProcessorCountStartsNoMultiCoreWorker) {
  ServePapers();
  service.Start();
  std::atomic<int> calls{0};
  options.countProcessors = [&] { return calls++ == 0 ? 2 : 3; };
  RunCpuExamSession(Device(Credential(1) + "||s.bin||m0.bin||m1.bin"), options, events);
  std::vector<std::string> lines = SessionLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "开始！使用1核！"), 1);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("开始！使用", 0) == 0; }), 1);
  EXPECT_EQ(service.Count("startexam"), 1);
  Json::Value result;
  std::string plain = DecryptSubmission(service.Bodies("submit").at(0), 1);
  ASSERT_TRUE(Json::Reader().parse(plain.substr(0, plain.rfind("||")), result));
  ASSERT_EQ(result["multicore"].size(), 2u);
  for (const Json::Value& e : result["multicore"]) {
    EXPECT_EQ(e["id"].asInt(), 0);
    EXPECT_EQ(e["result"].asString(), "");
  }
  // Progress stops at 50: the skipped phase paces nothing.
  EXPECT_EQ(events.Numbers("progress").back(), 50);
}

TEST_F(ExamSessionTest, FailedPaperDownloadGivesAnEmptyPaperAndTheRunGoesOn) {
  service.papers["s.bin"] = std::string(32, 's');
  service.Start();
  CpuExamOutcome out = RunCpuExamSession(Device(Credential(1) + "||s.bin||gone0.bin||gone1.bin"), options, events);
  EXPECT_TRUE(out.scored);
  EXPECT_EQ(service.Count("endexam"), 3);
}

TEST_F(ExamSessionTest, ReplyThatIsNotTwoPiecesIsShownWithTheBodyAndNothingIsStored) {
  ServePapers();
  service.submit = [](const std::string&) { return std::string("服务器繁忙"); };
  service.Start();
  CpuExamOutcome out = RunCpuExamSession(Device(Credential(2) + "||s.bin||m0.bin||m1.bin"), options, events);
  ASSERT_EQ(events.Of("done").size(), 1u);
  EXPECT_EQ(events.Of("done")[0].text, "服务器繁忙");
  EXPECT_EQ(events.Of("done")[0].second, service.Bodies("submit").at(0));
  EXPECT_FALSE(out.scored);
  EXPECT_FALSE(fs::exists(CpuHistoryPath()));
}

TEST_F(ExamSessionTest, RecordThatIsNotAJsonObjectFinishesTheRunButIsNotStored) {
  ServePapers();
  service.submit = [](const std::string&) { return std::string("单核 900||<html>502</html>"); };
  service.Start();
  testing::TempDir logDir("cpusession-log");
  ASSERT_TRUE(logDir.ok());
  xLogMessager logger("sorvanta", logDir.path(), true);
  CpuExamOutcome out = RunCpuExamSession(Device(Credential(1) + "||s.bin||m0.bin||m1.bin"), options, events);
  ASSERT_EQ(events.Of("done").size(), 1u);
  EXPECT_EQ(events.Of("done")[0].text, "单核 900");
  EXPECT_TRUE(out.scored);
  EXPECT_FALSE(fs::exists(CpuHistoryPath()));
  EXPECT_NE(testing::ReadWholeFile(logger.PathOf(kLogError)).find("history record not stored"), std::string::npos);
}

// A history that cannot be written loses the record, never the score on screen.
TEST_F(ExamSessionTest, ScoreIsShownEvenWhenTheHistoryCannotBeStored) {
  ASSERT_TRUE(testing::WriteWholeFile(dataDir_.Path("not-a-folder"), "x"));
  testing::ScopedEnvVar blocked("XDG_DATA_HOME", dataDir_.Path("not-a-folder"));
  ServePapers();
  service.submit = [](const std::string&) { return std::string("单核 1000||{\"singlecore\":1000}"); };
  service.Start();
  RunCpuExamSession(Device(Credential(1) + "||s.bin||m0.bin||m1.bin"), options, events);
  ASSERT_EQ(events.Of("done").size(), 1u);
  EXPECT_EQ(events.Of("done")[0].text, "单核 1000");
  EXPECT_EQ(events.Of("done")[0].second, "{\"singlecore\":1000}");
  EXPECT_FALSE(fs::exists(CpuHistoryPath()));
}

// Both silent ends come after the phases, where the result would be submitted: a credential
// too short to carry a key, and a stop requested meanwhile.
TEST_F(ExamSessionTest, ShortCredentialOrStopEndsSilentlyWithoutSubmission) {
  ServePapers();
  service.Start();
  struct Case {
    std::string credential;
    bool stop;
  };
  for (const Case& c : {Case{Base64Encode(kKey), false}, Case{Credential(1), true}}) {
    RecordingCpuEvents local;
    std::stop_source stop;
    local.hook = [&stop, c](const testing::Event& call) {
      if (c.stop && call.kind == "progress" && call.a == 5) stop.request_stop();  // the single-core phase
    };
    CpuExamOutcome out = RunCpuExamSession(Device(c.credential + "||s.bin||m0.bin||m1.bin"), options, local,
                                           stop.get_token());
    EXPECT_FALSE(out.finished) << c.stop;
    EXPECT_TRUE(local.Of("done").empty()) << c.stop;
    EXPECT_EQ(local.Logs().back(), "考试结束，等待判分....") << c.stop;
    EXPECT_EQ(local.Numbers("progress").back(), 100) << c.stop;  // both phases paced in full
  }
  EXPECT_EQ(service.Count("submit"), 0);
}

TEST_F(ExamSessionTest, ResultLargerThanTheWorkingBufferIsRefusedNotSent) {
  ServePapers();
  service.Start();
  Json::Value device = Device(Credential(1) + "||s.bin||m0.bin||m1.bin");
  device["socname"] = std::string(1048576, 'x');
  CpuExamOutcome out = RunCpuExamSession(device, options, events);
  EXPECT_EQ(service.Count("submit"), 0);
  ASSERT_EQ(events.Of("done").size(), 1u);
  EXPECT_EQ(events.Of("done")[0].text, "成绩数据超过1MB，无法提交！");
  EXPECT_EQ(SessionLines().back(), "成绩数据超过1MB，无法提交！");
  EXPECT_FALSE(out.scored);
}

}  // namespace
}  // namespace sorvanta::cpubench
