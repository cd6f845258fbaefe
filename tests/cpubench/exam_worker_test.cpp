#include "cpubench/exam_worker.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstring>
#include <vector>

#include "fake_exam_service.h"
#include "platform/clock.h"
#include "support/recording_events.h"
#include "base/crypto.h"

namespace sorvanta::cpubench {
namespace {

using testing::FakeExamService;
using testing::RecordingCpuEvents;

// The answer to one paper block: SM3 of the block padded with zeros to 1 MiB.
std::string ExpectedAnswer(const std::string& block) {
  std::vector<uint8_t> buf(kExamWorkBufferSize, 0);
  std::memcpy(buf.data(), block.data(), block.size());
  uint8_t d[32];
  Sm3Digest(buf.data(), buf.size(), d);
  return std::string(reinterpret_cast<char*>(d), 32);
}

GM_ExamData Paper(const std::string& name, const std::string& bytes) {
  GM_ExamData d;
  d.token = "Y3JlZGVudGlhbA==";
  d.examFile = name;
  d.paper = bytes;
  d.coreid = 0;
  return d;
}

Json::Value Parse(const std::string& text) {
  Json::Value v;
  Json::Reader().parse(text, v);
  return v;
}

TEST(BlockKey, DecodesUpToSixteenBytesAndRefusesLongerKeys) {
  uint8_t key[16];
  std::memset(key, 0, 16);
  DecodeBlockKey("000102030405060708090a0b0c0d0e0f", key);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(key[i], i);

  std::memset(key, 0, 16);
  DecodeBlockKey("ff0102030405060708090a0b0c0d0e0f10", key);  // 34 digits: 17 bytes
  for (int i = 0; i < 16; ++i) EXPECT_EQ(key[i], 0);

  DecodeBlockKey("A1B2C3D4E5F60718", key);  // 16 digits: the leading 8 bytes only
  const uint8_t head[8] = {0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07, 0x18};
  EXPECT_EQ(std::memcmp(key, head, 8), 0);
  for (int i = 8; i < 16; ++i) EXPECT_EQ(key[i], 0);
}

TEST(StartExamReply, AcceptsOnlyAnArrayWithAMatchingRandFileAndTakesTheFirstMatch) {
  GM_ExamData d = Paper("p.bin", "");
  EXPECT_FALSE(AcceptStartExamReply(R"({"randFile":"p.bin","sm4key":"aa","id":5})", &d));
  EXPECT_FALSE(AcceptStartExamReply(R"([{"randFile":"q.bin","sm4key":"aa","id":5}])", &d));
  EXPECT_FALSE(AcceptStartExamReply(R"([{"randFile":"p.bin2","sm4key":"aa","id":5}])", &d));
  EXPECT_FALSE(AcceptStartExamReply("[]", &d));
  EXPECT_FALSE(AcceptStartExamReply("not json", &d));
  EXPECT_FALSE(AcceptStartExamReply("", &d));
  EXPECT_FALSE(AcceptStartExamReply(std::string(1200, '[') + std::string(1200, ']'), &d));
  EXPECT_EQ(d.id, 0);
  EXPECT_EQ(d.sm4key, "");
  EXPECT_TRUE(AcceptStartExamReply(
      R"([3, {"randFile":"q.bin","id":1}, {"randFile":"p.bin","sm4key":"k1","id":7},
          {"randFile":"p.bin","sm4key":"k2","id":8}])", &d));
  EXPECT_EQ(d.id, 7);
  EXPECT_EQ(d.sm4key, "k1");
}

class ExamWorkerTest : public ::testing::Test {
 protected:
  GM_ExamData RunWorker(GM_ExamData d, uint32_t budgetMs = 10000) {
    service.Start();
    CpuExamOptions options;
    options.examBudgetMs = budgetMs;
    ExamWorker(&d, options, events);
    return d;
  }
  RecordingCpuEvents events;
  FakeExamService service;
};

TEST_F(ExamWorkerTest, WorksWholeBlocksOnlyAndSendsTheDigestOfItsAnswers) {
  std::string paper;
  for (int i = 0; i < 100; ++i) paper += static_cast<char>(i * 7 + 1);
  GM_ExamData d = RunWorker(Paper("p.bin", paper));
  ASSERT_EQ(d.answers.size(), 96u);  // 3 blocks; the last 4 bytes are never worked
  for (int k = 0; k < 3; ++k) EXPECT_EQ(d.answers.substr(32 * k, 32), ExpectedAnswer(paper.substr(32 * k, 32)));
  EXPECT_EQ(d.id, 101);
  EXPECT_EQ(d.sm4key, "00112233445566778899aabbccddeeff");
  ASSERT_EQ(service.Count("endexam"), 1);
  Json::Value end = Parse(service.Bodies("endexam")[0]);
  EXPECT_EQ(end["answersm3"].asString(), Sm3HexDigest(d.answers.data(), d.answers.size()));
  EXPECT_EQ(end["id"].asInt(), 101);
  EXPECT_EQ(end["token"].asString(), d.token);
  EXPECT_TRUE(events.Logs().empty());
}

TEST_F(ExamWorkerTest, EmptyPaperStillEndsTheExamWithTheDigestOfNoAnswers) {
  GM_ExamData d = RunWorker(Paper("p.bin", ""));
  EXPECT_TRUE(d.answers.empty());
  ASSERT_EQ(service.Count("endexam"), 1);
  EXPECT_EQ(Parse(service.Bodies("endexam")[0])["answersm3"].asString(),
            "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b");
  EXPECT_TRUE(events.Logs().empty());
}

TEST_F(ExamWorkerTest, UnusableStartReplyEndsTheWorkerWithoutEndingTheExam) {
  for (const char* reply : {R"({"randFile":"p.bin","sm4key":"00","id":5})",
                            R"([{"randFile":"other.bin","sm4key":"00","id":5}])"}) {
    RecordingCpuEvents local;
    FakeExamService svc;
    svc.startExam = [reply](const std::string&) { return std::string(reply); };
    svc.Start();
    GM_ExamData d = Paper("p.bin", std::string(64, 'a'));
    ExamWorker(&d, CpuExamOptions(), local);
    EXPECT_EQ(local.Logs(), std::vector<std::string>{"开始考试失败！"}) << reply;
    EXPECT_EQ(svc.Count("endexam"), 0) << reply;
    EXPECT_TRUE(d.answers.empty());
    EXPECT_EQ(d.id, 0);
  }
}

TEST_F(ExamWorkerTest, OverlongKeyLeavesTheZeroKeyAndTheWorkGoesOn) {
  service.startExam = [](const std::string&) {
    return std::string(R"([{"randFile":"p.bin","sm4key":"ff0102030405060708090a0b0c0d0e0f10","id":3}])");
  };
  GM_ExamData d = RunWorker(Paper("p.bin", std::string(64, 'x')));
  EXPECT_EQ(d.answers.size(), 64u);
  EXPECT_TRUE(events.Logs().empty());  // the SM4 self-check passes with the zero key too
}

TEST_F(ExamWorkerTest, EndExamReplyMustBeExactlyOk) {
  for (const char* reply : {"ok", "OK", "ok ", "ok\n", ""}) {
    RecordingCpuEvents local;
    FakeExamService svc;
    svc.endExam = [reply](const std::string&) { return std::string(reply); };
    svc.Start();
    GM_ExamData d = Paper("p.bin", "");
    ExamWorker(&d, CpuExamOptions(), local);
    std::string r = reply;
    if (r == "ok") {
      EXPECT_TRUE(local.Logs().empty());
    } else {
      if (r == "ok\n") r = "ok\r\n";  // text replies get CR LF line ends
      EXPECT_EQ(local.Logs(), std::vector<std::string>{"结束考试失败：" + r}) << reply;
    }
  }
}

TEST_F(ExamWorkerTest, BudgetIsCheckedAfterEachBlockSoTheBlockJustFinishedCounts) {
  // Every block takes well over 1 ms, so a 1 ms budget stops after the first one.
  GM_ExamData d = RunWorker(Paper("p.bin", std::string(32 * 50, 'z')), 1);
  EXPECT_EQ(d.answers.size(), 32u);
  EXPECT_EQ(service.Count("endexam"), 1);
}

// The loop stops after the first block that ends more than the budget after the start. The
// clock advances 1 ms each time it is read (at the start and after each block), so a 3 ms
// budget works exactly 4 blocks.
TEST(ExamBudget, WorkStopsAfterTheFirstBlockThatEndsPastTheBudget) {
  uint32_t ticks = 7000;
  platform::SetTickSourceForTesting([&ticks] { return ticks++; });
  GM_ExamData d = Paper("p.bin", std::string(32 * 20, 'q'));
  d.sm4key = "00112233445566778899aabbccddeeff";
  ExamBlockWorker work;
  const long worked = WorkExamPaper(&d, 3, &work);
  platform::SetTickSourceForTesting(nullptr);
  EXPECT_EQ(worked, 4);
  EXPECT_EQ(d.answers.size(), 4u * 32);
}

}  // namespace
}  // namespace sorvanta::cpubench
