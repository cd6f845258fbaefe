// The program's own files (disk and CPU history, endurance settings, the kept machine id)
// are never written through a link planted under the fixed names they once used, never by
// root into another user's folder, and never into a shared folder when there is no home.
#include "platform/file_replace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "cpubench/exam_session.h"
#include "diskbench/disk_history.h"
#include "platform/paths.h"
#include "platform/system_info.h"
#include "support/temp_dir.h"
#include "usbtest/endurance_settings.h"

namespace sorvanta::platform {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

const std::string kVictim = "root's own file\n";

struct Writer {
  const char* what;
  std::string file;                        // the file written, inside the folder
  std::vector<std::string> plantedNames;   // names the old code opened with O_TRUNC
  std::function<bool(const std::string& folder)> write;
};

std::vector<Writer> Writers() {
  const pid_t pid = ::getpid();
  return {
      {"disk history", "disk", {"disk.new", "disk_0_score.bin.new", "disk_lines_0.new"},
       [](const std::string& folder) {
         diskbench::DiskResultTable table{};
         return diskbench::SaveDiskHistory({folder + "/", "disk"}, table, 0, 1234, {});
       }},
      {"endurance settings", "usbtest.conf", {"usbtest.conf.tmp"},
       [](const std::string& folder) {
         usbtest::UsbTestSettings settings;
         settings.copyFile = "/media/copy.bin";
         return usbtest::SaveUsbTestSettings(folder + "/usbtest.conf", settings);
       }},
      {"machine id", "sorvanta-machine-id", {"sorvanta-machine-id.new" + std::to_string(pid)},
       [](const std::string& folder) { return !KeptRandomMachineId(folder).empty(); }},
      {"cpu history", "cputest.bin", {},
       [](const std::string& folder) { return cpubench::AppendCpuHistory(folder + "/cputest.bin", "{\"a\":1}"); }},
  };
}

TEST(FileReplace, PlantedLinksAreNeverWrittenThrough) {
  if (::geteuid() != 0) GTEST_SKIP() << "the links matter when root writes";
  TempDir victimDir("victim"), folder("planted");
  const std::string victim = victimDir.Path("shadow");
  for (const Writer& w : Writers()) {
    SCOPED_TRACE(w.what);
    ASSERT_TRUE(WriteWholeFile(victim, kVictim));
    for (const std::string& name : w.plantedNames) ASSERT_EQ(::symlink(victim.c_str(), folder.Path(name).c_str()), 0);
    w.write(folder.path());
    EXPECT_EQ(ReadWholeFile(victim), kVictim);

    // The file itself a link: replaced or refused, the victim untouched either way.
    ::unlink(folder.Path(w.file).c_str());
    ASSERT_EQ(::symlink(victim.c_str(), folder.Path(w.file).c_str()), 0);
    w.write(folder.path());
    EXPECT_EQ(ReadWholeFile(victim), kVictim);
  }

  // A folder owned by another user: root writes nothing there.
  TempDir foreign("foreign");
  ASSERT_EQ(::chown(foreign.path().c_str(), 4242, 4242), 0);
  for (const Writer& w : Writers()) {
    SCOPED_TRACE(w.what);
    EXPECT_FALSE(w.write(foreign.path()));
    EXPECT_EQ(ReadWholeFile(foreign.Path(w.file)), "");
  }
  EXPECT_EQ(ReplaceFileContents(foreign.Path("x"), "x", 0644).message(),
            "running as root, not writing into " + foreign.path() + ", which belongs to user 4242");
}

// Without HOME and without a passwd entry there is no folder for user files at all; none
// of them lands in /tmp or the working folder.
TEST(FileReplace, NoHomeFolderMeansNoUserFiles) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become a user without a passwd entry";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::unsetenv("HOME");
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_STATE_HOME");
    if (::setgid(4242) != 0 || ::setuid(4242) != 0) ::_exit(10);
    if (!LocalAppDataFolder().empty() || !ConfigFolder().empty()) ::_exit(11);
    if (!ProgramWriteFolder("/usr/bin").empty()) ::_exit(12);
    if (ReplaceFileContents("cputest.bin", "x", 0644).ok()) ::_exit(13);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace sorvanta::platform
