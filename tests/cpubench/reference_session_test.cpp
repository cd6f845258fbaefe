// The whole CPU benchmark road against the reference service on loopback: token
// request, device object, both exam phases, submission, history and its rows.
#include <gtest/gtest.h>

#if __has_include("server/reference_service.h")
#include "server/reference_service.h"

#include <filesystem>

#include "cpubench/cpu_history.h"
#include "cpubench/cpu_machine.h"
#include "cpubench/exam_session.h"
#include "service/token.h"
#include "service/wire_protocol.h"
#include "platform/clock.h"
#include "support/recording_events.h"
#include "support/https_test_server.h"
#include "support/scoped_env_var.h"
#include "support/temp_dir.h"

namespace sorvanta::cpubench {
namespace {

namespace fs = std::filesystem;

class ReferenceSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    fs::create_directories(dir_.Path("service"));
    fs::create_directories(dir_.Path("data"));

    server::ServiceOptions so;
    so.port = 0;
    so.dataDir = dir_.Path("service");
    so.examBudgetMs = kBudgetMs;
    so.paperBytes = 32 * 256;
    std::string error;
    service_ = server::ReferenceService::Start(so, &error);
    ASSERT_TRUE(service_) << error;
    url_ = std::make_unique<testing::ScopedServiceUrl>(service_->BaseUrl());
  }

  static constexpr uint32_t kBudgetMs = 300;
  // Destroyed in reverse order: the service stops before the variable and the folder go.
  testing::TempDir dir_{"cpuref"};
  testing::ScopedEnvVar xdgDataHome_{"XDG_DATA_HOME", dir_.Path("data")};
  std::unique_ptr<server::ReferenceService> service_;
  std::unique_ptr<testing::ScopedServiceUrl> url_;
};

TEST_F(ReferenceSessionTest, TokenExamSubmissionAndStoredRecord) {
  CpuMachine machine = ReadCpuMachine();
  const std::string reply = RequestExamToken(machine.brandString, machine.machineId, machine.logicalCores).value_or("");
  ASSERT_EQ(JudgeTokenReply(reply), TokenVerdict::kAccepted) << reply;

  testing::RecordingCpuEvents events;
  CpuExamOptions options;
  options.examBudgetMs = kBudgetMs;
  options.paceStepMs = 60;
  CpuExamOutcome out = RunCpuExamSession(BuildDeviceObject(machine, reply), options, events);

  std::vector<std::string> lines;
  for (const std::string& l : events.Logs())
    if (l.rfind("线程", 0) != 0) lines.push_back(l);
  const int n = CountLogicalProcessors();
  const std::vector<std::string> want = {"请求试卷中....", "请求开始单核考试....", "开始单核考试....",
                                         "开始！使用1核！", "停笔！", "请求开始多核考试....", "开始多核考试....",
                                         "开始！使用" + std::to_string(n) + "核！", "停笔！", "考试结束，等待判分...."};
  EXPECT_EQ(lines, want);
  ASSERT_EQ(events.Of("done").size(), 1u);
  ASSERT_TRUE(out.scored) << out.result << "\n" << out.second;
  EXPECT_EQ(events.Of("done")[0].text, out.result);

  std::vector<CpuScoreRecord> history = LoadCpuHistory();
  ASSERT_EQ(history.size(), 1u);
  const CpuScoreRecord& r = history[0];
  EXPECT_GT(r.singlecore, 0);
  EXPECT_EQ(r.coreValues.size(), static_cast<size_t>(n));
  EXPECT_GE(r.maxsinglecore, r.singlecore);
  std::vector<CpuRecordRow> rows = CpuRecordRows(r);
  EXPECT_EQ(rows.front().item, "单核跑分");
  EXPECT_EQ(rows.back().item, "多核参考");
  EXPECT_EQ(CpuRecordAgeLabel(r, platform::WallClock()), "刚刚");
}

}  // namespace
}  // namespace sorvanta::cpubench

#else
TEST(ReferenceSessionTest, NeedsTheReferenceService) { GTEST_SKIP() << "reference service not built"; }
#endif
