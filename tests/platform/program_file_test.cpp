// Replacing the program file: a write that cannot complete leaves the old file and no
// temporary behind, and a reader never sees a mixture of old and new bytes.
#include "platform/program_file.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace {

using sorvanta::Status;
using sorvanta::platform::ReplaceProgramFile;
using sorvanta::testing::ReadWholeFile;
using sorvanta::testing::TempDir;
using sorvanta::testing::WriteWholeFile;

size_t EntriesIn(const std::string& folder) {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) n += entry.exists() ? 1 : 0;
  return n;
}

// A file-size limit makes the write fail part-way, as a full disk does.
TEST(ProgramFileTest, WriteThatCannotCompleteKeepsTheOldProgram) {
  TempDir dir("program-file");
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.Path("sorvanta");
  ASSERT_TRUE(WriteWholeFile(path, "old program"));
  const std::string big(1 << 20, 'x');

  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &previous);
  struct rlimit saved {};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const Status replaced = ReplaceProgramFile(path, big);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &previous, nullptr);

  EXPECT_FALSE(replaced.ok());
  EXPECT_FALSE(replaced.message().empty());
  EXPECT_EQ(ReadWholeFile(path), "old program");
  EXPECT_EQ(EntriesIn(dir.path()), 1u);  // the temporary file is gone
}

TEST(ProgramFileTest, ReadersSeeTheOldOrTheNewProgramNeverAMixture) {
  TempDir dir("program-file");
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.Path("sorvanta");
  const std::string oldBytes(4 << 20, 'o'), newBytes(4 << 20, 'n');
  ASSERT_TRUE(WriteWholeFile(path, oldBytes));
  ::chmod(path.c_str(), 0640);
  std::atomic<bool> done{false};
  std::atomic<int> mixed{0}, reads{0};
  std::thread reader([&] {
    while (!done) {
      const std::string seen = ReadWholeFile(path);
      if (seen != oldBytes && seen != newBytes) ++mixed;
      ++reads;
    }
  });
  const Status replaced = ReplaceProgramFile(path, newBytes);
  EXPECT_TRUE(replaced.ok()) << replaced.message();
  while (reads < 2) std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(mixed.load(), 0);
  EXPECT_EQ(ReadWholeFile(path), newBytes);
  struct stat st {};
  ::stat(path.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0750u);  // the old permissions, executable where readable
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

// The new bytes go into a file of the program's own folder that is renamed over the old
// name: a temporary elsewhere could not be renamed across file systems, and writing the
// program file in place would let a start in between run half a program.
TEST(ProgramFileTest, NewProgramIsWrittenBesideTheOldOneAndRenamedOverIt) {
  TempDir dir("program-file");
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.Path("sorvanta");
  ASSERT_TRUE(WriteWholeFile(path, "old program"));
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, dir.path().c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO), 0);
  const Status replaced = ReplaceProgramFile(path, "new program");
  ASSERT_TRUE(replaced.ok()) << replaced.message();

  struct Seen {
    uint32_t mask, cookie;
    std::string name;
  };
  std::vector<Seen> seen;
  alignas(inotify_event) char buf[16384];
  for (ssize_t n; (n = ::read(watch, buf, sizeof buf)) > 0;) {
    for (char* at = buf; at < buf + n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      seen.push_back({event->mask, event->cookie, event->len > 0 ? event->name : ""});
      at += sizeof(inotify_event) + event->len;
    }
  }
  ::close(watch);

  std::string temporary;
  bool written = false;
  for (const Seen& e : seen) {
    if (e.name == "sorvanta") {
      EXPECT_FALSE(e.mask & IN_MODIFY) << "the program file was written in place";
    }
    if ((e.mask & IN_MODIFY) && e.name != "sorvanta") written = true;
    if (!(e.mask & IN_MOVED_TO) || e.name != "sorvanta") continue;
    for (const Seen& from : seen)
      if ((from.mask & IN_MOVED_FROM) && from.cookie == e.cookie) temporary = from.name;
  }
  EXPECT_TRUE(written) << "no file of the program's folder received the new bytes";
  EXPECT_FALSE(temporary.empty()) << "the new program was not renamed from a file of the same folder";
  EXPECT_NE(temporary, "sorvanta");
  EXPECT_EQ(ReadWholeFile(path), "new program");
}

}  // namespace
