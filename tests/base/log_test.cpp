#include "base/log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace sorvanta {
namespace {

namespace fs = std::filesystem;
using sorvanta::testing::ReadWholeFile;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int CountOf(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// Seconds since the epoch of a local date and time.
std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok());
    folder_ = root_.Path("log");
    fs::create_directory(folder_);
  }

  // A clock the test moves by hand.
  xLogMessager::Clock ClockAt(std::time_t& now) {
    return [&now] { return now; };
  }
  std::string FileOf(const std::string& date, const std::string& level) const {
    return folder_ + "/sorvanta-" + date + "_" + level + ".log";
  }

  sorvanta::testing::TempDir root_{"log-test"};
  std::string folder_;
};

TEST_F(LogTest, FileNamesAndLinePrefix) {
  std::time_t now = LocalTime(2026, 12, 7, 4, 5, 9);
  xLogMessager logger("sorvanta", folder_, true, ClockAt(now));
  logger.Log("message", kLogNotice, false);

  EXPECT_EQ(logger.PathOf(kLogNormal), FileOf("2026-12-7", "Normal"));
  EXPECT_EQ(logger.PathOf(kLogNotice), FileOf("2026-12-7", "Notice"));
  EXPECT_EQ(logger.PathOf(kLogError), FileOf("2026-12-7", "Error"));

  char tid[32];
  std::snprintf(tid, sizeof tid, "[0x%lx]", static_cast<unsigned long>(::syscall(SYS_gettid)));
  const std::string prefix = std::string(tid) + "2026/12/ 7  4: 5: 9:";
  const auto notice = Lines(ReadWholeFile(FileOf("2026-12-7", "Notice")));
  ASSERT_EQ(notice.size(), 2u);
  EXPECT_EQ(notice[0], prefix + "====LOG BEGIN====");
  EXPECT_EQ(notice[1], prefix + "message");
  EXPECT_EQ(Lines(ReadWholeFile(FileOf("2026-12-7", "Error"))).size(), 1u);
}

TEST_F(LogTest, SecondStartOnTheSameDayContinuesEveryFile) {
  std::time_t now = LocalTime(2026, 12, 7, 10, 0, 0);
  {
    xLogMessager first("sorvanta", folder_, true, ClockAt(now));
    first.Log("first run", kLogError, false);
  }
  now += 60;
  {
    xLogMessager second("sorvanta", folder_, true, ClockAt(now));
    second.Log("second run", kLogError, false);
  }
  for (const char* level : {"Normal", "Notice", "Error"}) {
    EXPECT_EQ(CountOf(ReadWholeFile(FileOf("2026-12-7", level)), "====LOG BEGIN===="), 2) << level;
  }
  const auto errors = Lines(ReadWholeFile(FileOf("2026-12-7", "Error")));
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_NE(errors[1].find("first run"), std::string::npos);
  EXPECT_NE(errors[2].find("====LOG BEGIN===="), std::string::npos);
  EXPECT_NE(errors[3].find("second run"), std::string::npos);
}

TEST_F(LogTest, FirstCallAfterMidnightMovesAllLevels) {
  std::time_t now = LocalTime(2026, 12, 31, 23, 59, 59);
  xLogMessager logger("sorvanta", folder_, true, ClockAt(now));
  logger.Log("old day", kLogNotice, false);
  now += 2;
  logger.Log("new day", kLogNotice, false);

  EXPECT_EQ(logger.PathOf(kLogNormal), FileOf("2027-1-1", "Normal"));
  EXPECT_EQ(logger.PathOf(kLogError), FileOf("2027-1-1", "Error"));
  EXPECT_TRUE(fs::exists(FileOf("2027-1-1", "Normal")));
  EXPECT_TRUE(fs::exists(FileOf("2027-1-1", "Error")));
  const std::string oldNotice = ReadWholeFile(FileOf("2026-12-31", "Notice"));
  const std::string newNotice = ReadWholeFile(FileOf("2027-1-1", "Notice"));
  EXPECT_NE(oldNotice.find("old day"), std::string::npos);
  EXPECT_EQ(oldNotice.find("new day"), std::string::npos);
  EXPECT_NE(newNotice.find("2027/ 1/ 1  0: 0: 1:new day"), std::string::npos);

  logger.Log("error on the new day", kLogError, false);
  EXPECT_NE(ReadWholeFile(FileOf("2027-1-1", "Error")).find("error on the new day"),
            std::string::npos);
}

TEST_F(LogTest, DisabledLoggerCreatesNothing) {
  {
    xLogMessager logger("sorvanta", folder_, false);
    EXPECT_EQ(Singleton<xLogMessager>::Instance(), &logger);
    ::testing::internal::CaptureStdout();
    logger.Log("dropped", kLogError, true);
    LogLine("dropped too", kLogNotice, true);
    logger.Tick();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  }
  EXPECT_TRUE(fs::is_empty(folder_));
}

TEST_F(LogTest, MissingFolderFailsSilentlyUntilItAppears) {
  const std::string missing = root_.Path("absent");
  xLogMessager logger("sorvanta", missing, true);
  logger.Log("lost", kLogError, false);
  EXPECT_FALSE(fs::exists(missing));

  // Once the folder exists, the periodic tick reopens the failed files.
  fs::create_directory(missing);
  logger.Tick();
  logger.Log("kept", kLogError, false);
  const std::string errors = ReadWholeFile(logger.PathOf(kLogError));
  EXPECT_NE(errors.find("kept"), std::string::npos);
  EXPECT_EQ(errors.find("lost"), std::string::npos);
}

// A file that fails while open (here: the file-size limit, as a full disk would) loses its
// lines until the periodic tick reopens it; then it continues after what it already held.
TEST_F(LogTest, FileThatFailsWhileOpenIsReopenedByTheTick) {
  xLogMessager logger("sorvanta", folder_, true);
  logger.Log("before", kLogError, false);
  const std::string path = logger.PathOf(kLogError);
  const auto sizeBefore = fs::file_size(path);

  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit tight = old;
  tight.rlim_cur = sizeBefore + 16;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
  logger.Log(std::string(4096, 'x'), kLogError, false);  // the write fails
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  logger.Log("lost", kLogError, false);  // the stream stays failed until the tick
  logger.Tick();
  logger.Log("kept", kLogError, false);
  logger.Log("kept too", kLogNotice, false);  // a sound level is left alone
  const std::string errors = ReadWholeFile(path);
  EXPECT_NE(errors.find("before"), std::string::npos);
  EXPECT_EQ(errors.find("lost"), std::string::npos);
  EXPECT_NE(errors.find("kept"), std::string::npos);
  EXPECT_NE(ReadWholeFile(logger.PathOf(kLogNotice)).find("kept too"), std::string::npos);
}

// Text from outside cannot forge a line or reach a terminal as an escape sequence, and a
// link planted under a log file's name is never written through.
TEST_F(LogTest, ControlCharactersAreEscapedAndLinksNotFollowed) {
  std::time_t now = LocalTime(2026, 12, 7, 4, 5, 9);
  const std::string victim = root_.Path("victim");
  ASSERT_TRUE(sorvanta::testing::WriteWholeFile(victim, "kept\n"));
  ASSERT_EQ(::symlink(victim.c_str(), FileOf("2026-12-7", "Error").c_str()), 0);
  xLogMessager logger("sorvanta", folder_, true, ClockAt(now));
  std::vector<std::string> echoed;
  logger.SetEcho([&echoed](const std::string& line) { echoed.push_back(line); });
  logger.Log("试卷 a\n[0x1]FORGED LOG LINE\x1b[31m\r\t\x7f\xc2\x9b 完", kLogNotice, true);
  logger.Log("into the link", kLogError, false);

  const std::string expected = "试卷 a\\x0A[0x1]FORGED LOG LINE\\x1B[31m\\x0D\\x09\\x7F\\xC2\\x9B 完";
  EXPECT_EQ(echoed, std::vector<std::string>{expected});
  const auto notice = Lines(ReadWholeFile(FileOf("2026-12-7", "Notice")));
  ASSERT_EQ(notice.size(), 2u);
  EXPECT_EQ(notice[1].substr(notice[1].size() - expected.size()), expected);
  EXPECT_EQ(ReadWholeFile(victim), "kept\n");
}

TEST_F(LogTest, EchoGoesOnlyWhereTheProgramChose) {
  xLogMessager logger("sorvanta", folder_, true);
  ::testing::internal::CaptureStdout();
  logger.Log("no destination yet", kLogNotice, true);  // the file only, never stdout
  std::vector<std::string> echoed;
  logger.SetEcho([&echoed](const std::string& line) { echoed.push_back(line); });
  logger.Log("https://127.0.0.1:8443/sorvanta/startexam", kLogNotice, true);
  logger.Log("not echoed", kLogNotice, false);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(echoed, std::vector<std::string>{"https://127.0.0.1:8443/sorvanta/startexam"});
  const std::string notices = ReadWholeFile(logger.PathOf(kLogNotice));
  EXPECT_NE(notices.find("no destination yet"), std::string::npos);
  EXPECT_NE(notices.find("not echoed"), std::string::npos);
}

TEST_F(LogTest, SingletonLivesExactlyAsLongAsTheLogger) {
  EXPECT_EQ(Singleton<xLogMessager>::Instance(), nullptr);
  LogLine("no logger: nothing happens", kLogError, false);
  {
    xLogMessager logger("sorvanta", folder_, true);
    EXPECT_EQ(Singleton<xLogMessager>::Instance(), &logger);
    EXPECT_FLOAT_EQ(logger.Interval(), 60.0f);
    LogLine("through the singleton", kLogError, false);
    EXPECT_NE(ReadWholeFile(logger.PathOf(kLogError)).find("through the singleton"),
              std::string::npos);
  }
  EXPECT_EQ(Singleton<xLogMessager>::Instance(), nullptr);
}

// Threads that are never joined keep logging while the program ends: destroying the
// logger under them must neither crash nor tear a line (ASan sees any use after free).
TEST_F(LogTest, LoggerComesAndGoesWhileOtherThreadsLog) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&stop] {
      while (!stop.load()) LogLine("worker line " + std::string(60, 'w'), kLogNotice, false);
    });
  }
  std::string path;
  for (int round = 0; round < 50; ++round) {
    auto logger = std::make_unique<xLogMessager>("sorvanta", folder_, true);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    path = logger->PathOf(kLogNotice);
    logger.reset();
    EXPECT_EQ(Singleton<xLogMessager>::Instance(), nullptr);
  }
  stop = true;
  for (auto& thread : threads) thread.join();
  const std::regex shape(R"(\[0x[0-9a-f]+\][^:]*:[ \d]\d:[ \d]\d:(====LOG BEGIN====|worker line w{60}))");
  for (const std::string& line : Lines(ReadWholeFile(path))) ASSERT_TRUE(std::regex_match(line, shape)) << line;
}

TEST_F(LogTest, LinesFromManyThreadsNeverInterleave) {
  xLogMessager logger("sorvanta", folder_, true);
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&logger, t] {
      const std::string message = "thread-" + std::to_string(t) + std::string(100, 'x');
      for (int i = 0; i < kLines; ++i) logger.Log(message, kLogNotice, false);
    });
  }
  for (auto& thread : threads) thread.join();

  const auto lines = Lines(ReadWholeFile(logger.PathOf(kLogNotice)));
  ASSERT_EQ(lines.size(), 1u + kThreads * kLines);
  const std::regex shape(R"(\[0x[0-9a-f]+\]\d{4}/[ \d]\d/[ \d]\d [ \d]\d:[ \d]\d:[ \d]\d:thread-\dx{100})");
  for (size_t i = 1; i < lines.size(); ++i) {
    ASSERT_TRUE(std::regex_match(lines[i], shape)) << lines[i];
  }
}

}  // namespace
}  // namespace sorvanta
