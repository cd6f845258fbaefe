#include "server/store.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace sorvanta::server {
namespace {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    std::string error;
    store_ = OpenSqliteStore(dir_.Path("s.sqlite"), &error);
    ASSERT_TRUE(store_) << error;
  }
  int64_t AddToken(const std::string& credential, int64_t issuedAt, int papers) {
    TokenRecord t;
    t.credential = credential;
    t.key = std::string(16, 'k');
    t.rounds = 2;
    t.machine = "m";
    t.cpuCount = papers - 1;
    t.issuedAt = issuedAt;
    std::vector<PaperRecord> list;
    for (int i = 0; i < papers; ++i) {
      PaperRecord p;
      p.name = credential + "-p" + std::to_string(i);
      p.slot = i;
      p.seed = std::string(16, 's');
      p.bytes = 64;
      list.push_back(p);
    }
    EXPECT_EQ(store_->AddToken(t, list), StoreResult::kOk);
    return store_->FindToken(credential)->id;
  }
  sorvanta::testing::TempDir dir_{"store"};
  std::unique_ptr<Store> store_;
};

TEST_F(StoreTest, ExamsStartOnceAllOrNoneAndEndOnce) {
  int64_t token = AddToken("c1", 100, 3);
  std::vector<ExamRecord> exams;
  ASSERT_EQ(store_->StartExams(token, {"c1-p0"}, {"k0"}, 1000, &exams), StoreResult::kOk);
  ASSERT_EQ(exams.size(), 1u);
  // A batch holding an already started paper starts none of them.
  EXPECT_EQ(store_->StartExams(token, {"c1-p1", "c1-p0"}, {"k1", "k0"}, 1000, &exams), StoreResult::kConflict);
  EXPECT_TRUE(exams.empty());
  ASSERT_EQ(store_->StartExams(token, {"c1-p1"}, {"k1"}, 1000, &exams), StoreResult::kOk);
  int64_t id = exams[0].id;
  EXPECT_EQ(store_->EndExam(id, "aa", 2000), StoreResult::kOk);
  EXPECT_EQ(store_->EndExam(id, "bb", 3000), StoreResult::kConflict);
  std::optional<ExamRecord> e = store_->FindExam(id);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->answerSm3, "aa");
  EXPECT_EQ(e->endMs, 2000);
  EXPECT_EQ(e->paper, "c1-p1");
  EXPECT_EQ(store_->EndExam(999999, "aa", 1), StoreResult::kConflict);
}

TEST_F(StoreTest, ScoreMarksTheTokenUsedOnlyOnce) {
  int64_t token = AddToken("c2", 100, 1);
  CpuScoreRecord s;
  s.tokenId = token;
  s.singlecore = 500;
  s.multicore = 1800;
  s.socname = "A'); DROP TABLE cpu_scores; --";
  s.device = "{\"socname\":\"A\"}";
  EXPECT_EQ(store_->AddCpuScore(&s), StoreResult::kOk);
  EXPECT_GT(s.id, 0);
  EXPECT_EQ(store_->AddCpuScore(&s), StoreResult::kConflict);
  EXPECT_TRUE(store_->FindToken("c2")->used);
  int single = 0;
  int64_t multi = 0;
  store_->BestCpu(&single, &multi);
  EXPECT_EQ(single, 500);
  EXPECT_EQ(multi, 1800);
  ASSERT_EQ(store_->TopCpu(true, 10).size(), 1u);
  EXPECT_EQ(store_->TopCpu(true, 10)[0].socname, s.socname);
  EXPECT_EQ(store_->TopCpu(false, 10)[0].device, s.device);
}

TEST_F(StoreTest, DiskReplayIsAConflictAndRankingIsBestFirst) {
  DiskScoreRecord a, b;
  a.digest = "d1";
  a.score = 10;
  b.digest = "d2";
  b.score = 20;
  b.speeds[6] = 1.5;
  EXPECT_EQ(store_->AddDiskScore(&a), StoreResult::kOk);
  EXPECT_EQ(store_->AddDiskScore(&b), StoreResult::kOk);
  EXPECT_EQ(store_->AddDiskScore(&a), StoreResult::kConflict);
  std::vector<DiskScoreRecord> top = store_->TopDisk(10);
  ASSERT_EQ(top.size(), 2u);
  EXPECT_EQ(top[0].score, 20);
  EXPECT_DOUBLE_EQ(top[0].speeds[6], 1.5);
}

TEST_F(StoreTest, ForgettingTokensTakesPapersAndExamsAlong) {
  int64_t old = AddToken("old", 100, 2);
  AddToken("new", 5000, 2);
  std::vector<ExamRecord> exams;
  ASSERT_EQ(store_->StartExams(old, {"old-p0"}, {"k"}, 1, &exams), StoreResult::kOk);
  store_->ForgetTokensBefore(1000);
  EXPECT_FALSE(store_->FindToken("old"));
  EXPECT_FALSE(store_->FindPaper("old-p0"));
  EXPECT_FALSE(store_->FindExam(exams[0].id));
  EXPECT_TRUE(store_->FindToken("new"));
  EXPECT_TRUE(store_->FindPaper("new-p1"));
  EXPECT_EQ(store_->CountTokensSince("m", 0), 1);
}

TEST_F(StoreTest, ReopeningKeepsTheData) {
  AddToken("keep", 100, 1);
  store_.reset();
  std::string error;
  store_ = OpenSqliteStore(dir_.Path("s.sqlite"), &error);
  ASSERT_TRUE(store_) << error;
  EXPECT_TRUE(store_->FindToken("keep"));
  EXPECT_FALSE(OpenSqliteStore(dir_.Path("missing/folder/s.sqlite"), &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace sorvanta::server
