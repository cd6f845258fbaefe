#include "server/store.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <atomic>
#include <functional>
#include <thread>

#include "pg_cluster.h"
#include "support/temp_dir.h"

namespace sorvanta::server {
namespace {

// The contract every store keeps, run against the SQLite file and a PostgreSQL database.
class StoreTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    if (GetParam() == "postgresql") {
      std::string why;
      uri_ = sorvanta::testing::FreshPostgresDatabase(&why);
      if (uri_.empty()) GTEST_SKIP() << why;
    }
    std::string error;
    store_ = Open(&error);
    ASSERT_TRUE(store_) << error;
  }
  // Another handle on the same data: what a restart or a second instance sees.
  std::unique_ptr<Store> Open(std::string* error) {
    return uri_.empty() ? OpenSqliteStore(dir_.Path("s.sqlite"), error) : OpenPostgresStore(uri_, 8, error);
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
  std::string uri_;
  std::unique_ptr<Store> store_;
};

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST_P(StoreTest, ExamsStartOnceAllOrNoneAndEndOnce) {
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

TEST_P(StoreTest, ScoreMarksTheTokenUsedOnlyOnce) {
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

TEST_P(StoreTest, DiskReplayIsAConflictAndRankingIsBestFirst) {
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

TEST_P(StoreTest, ForgettingTokensTakesPapersAndExamsAlong) {
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

TEST_P(StoreTest, ReopeningKeepsTheDataAndTheSecrets) {
  AddToken("keep", 100, 1);
  std::string secret = store_->KeptSecret("paper-names");
  ASSERT_EQ(secret.size(), 16u);
  store_.reset();
  std::string error;
  store_ = Open(&error);  // the schema is brought up to date once: a second start changes nothing
  ASSERT_TRUE(store_) << error;
  EXPECT_TRUE(store_->FindToken("keep"));
  EXPECT_EQ(store_->KeptSecret("paper-names"), secret);
  error.clear();
  if (uri_.empty()) {
    EXPECT_FALSE(OpenSqliteStore(dir_.Path("missing/folder/s.sqlite"), &error));
  } else {
    EXPECT_FALSE(OpenPostgresStore("postgresql://sorvanta@127.0.0.1:1/none?connect_timeout=2", 2, &error));
  }
  EXPECT_FALSE(error.empty());
}

TEST_P(StoreTest, BytesOfAnyKindComeBackAsStored) {
  int64_t token = AddToken("bytes", 100, 1);
  CpuScoreRecord s;
  s.tokenId = token;
  static constexpr char kBytes[] = "nul\0inside\xff\xfe";
  s.socname = std::string(kBytes, sizeof kBytes - 1);
  s.reply = "跑分成功||{}";
  ASSERT_EQ(store_->AddCpuScore(&s), StoreResult::kOk);
  std::optional<CpuScoreRecord> back = store_->FindCpuScoreByToken(token);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->socname, s.socname);
  EXPECT_EQ(back->reply, s.reply);
  EXPECT_EQ(store_->FindToken("bytes")->key, std::string(16, 'k'));
}

// What one writer gives SQLite must hold for concurrent callers on separate connections
// (as separate instances are): each one-time event happens once, each limit exactly.
TEST_P(StoreTest, ConcurrentCallersCannotOvershootALimitOrRepeatAnEvent) {
  int64_t token = AddToken("race", 100, 2);
  std::string error;
  std::unique_ptr<Store> other = Open(&error);
  ASSERT_TRUE(other) << error;
  struct Case {
    const char* what;
    std::function<StoreResult(Store*, int)> call;
    int expectedOk;
  };
  TokenLimits tokenLimits{0, 0, 6};
  DiskLimits diskLimits{0, 3, 0};
  const std::vector<Case> cases = {
      {"tokens per address",
       [&](Store* s, int i) {
         TokenRecord t;
         t.credential = "limited-" + std::to_string(i);
         t.key = std::string(16, 'k');
         t.machine = "m" + std::to_string(i % 3);
         t.address = "192.0.2.7";
         return s->AddTokenWithin(&t, tokenLimits);
       },
       6},
      {"exam started once",
       [&](Store* s, int i) {
         std::vector<ExamRecord> exams;
         return s->StartExams(token, {"race-p1"}, {"k" + std::to_string(i)}, 1000, &exams);
       },
       1},
      {"token used once",
       [&](Store* s, int i) {
         CpuScoreRecord score;
         score.tokenId = token;
         score.singlecore = i;
         return s->AddCpuScore(&score);
       },
       1},
      {"disk scores per serial",
       [&](Store* s, int i) {
         DiskScoreRecord d;
         d.digest = "race-" + std::to_string(i % 30);  // some repeat: those are conflicts
         d.serial = "SERIAL";
         return s->AddDiskScoreWithin(&d, diskLimits);
       },
       3},
  };
  for (const Case& c : cases) {
    std::atomic<int> ok{0}, failed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 40; ++i) {
      threads.emplace_back([&, i] {
        StoreResult r = c.call(i % 2 ? other.get() : store_.get(), i);
        if (r == StoreResult::kOk) ++ok;
        if (r == StoreResult::kError) ++failed;
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(ok.load(), c.expectedOk) << c.what;
    EXPECT_EQ(failed.load(), 0) << c.what;
  }
}

// A server restart or failover drops every pooled connection: the next operations get new
// ones instead of failing.
TEST_P(StoreTest, DroppedConnectionsAreReplacedWithoutAnError) {
  if (uri_.empty()) GTEST_SKIP() << "one file, no connections to lose";
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([this] { store_->FindToken("none"); });  // fill the pool
  for (std::thread& t : threads) t.join();
  PGconn* admin = PQconnectdb(uri_.c_str());
  PGresult* r = PQexec(admin, "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                              "WHERE datname = current_database() AND pid <> pg_backend_pid()");
  ASSERT_EQ(PQresultStatus(r), PGRES_TUPLES_OK) << PQerrorMessage(admin);
  EXPECT_GE(std::atoi(PQgetvalue(r, 0, 0)), 1);
  PQclear(r);
  PQfinish(admin);
  int64_t token = AddToken("after-drop", 100, 1);
  CpuScoreRecord score;
  score.tokenId = token;
  EXPECT_EQ(store_->AddCpuScore(&score), StoreResult::kOk);
  EXPECT_TRUE(store_->FindToken("after-drop")->used);
}

// Ranking reads go to the replica, and to the primary when the replica cannot answer. The
// "replica" here is another database holding another score, so the answer tells them apart.
TEST_P(StoreTest, RankingReadsUseTheReplicaAndFallBackToThePrimary) {
  if (uri_.empty()) GTEST_SKIP() << "one file, no replicas";
  std::string why, error;
  const std::string replica = sorvanta::testing::FreshPostgresDatabase(&why);
  ASSERT_FALSE(replica.empty()) << why;
  for (auto [uri, single] : {std::pair<std::string, int>(uri_, 7), std::pair<std::string, int>(replica, 9)}) {
    std::unique_ptr<Store> store = OpenPostgresStore(uri, 2, &error);
    ASSERT_TRUE(store) << error;
    TokenRecord t;
    t.credential = "ranked";
    t.key = std::string(16, 'k');
    ASSERT_EQ(store->AddToken(t, {}), StoreResult::kOk);
    CpuScoreRecord score;
    score.tokenId = store->FindToken("ranked")->id;
    score.singlecore = single;
    ASSERT_EQ(store->AddCpuScore(&score), StoreResult::kOk);
  }
  const std::pair<std::string, int> cases[] = {{replica, 9}, {"postgresql://sorvanta@127.0.0.1:1/none", 7}};
  for (const auto& [replicaUri, expected] : cases) {
    std::unique_ptr<Store> store = OpenPostgresStore(uri_, 2, &error, replicaUri);
    ASSERT_TRUE(store) << error;
    std::vector<CpuScoreRecord> top = store->TopCpu(false, 10);
    ASSERT_EQ(top.size(), 1u) << replicaUri;
    EXPECT_EQ(top[0].singlecore, expected) << replicaUri;
  }
}

}  // namespace
}  // namespace sorvanta::server
