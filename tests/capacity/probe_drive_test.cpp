// The quick probe's helper program against fake drives made of a FUSE file (whose bytes map
// to a smaller backing file) under a loop device, with a real file system on them: it names
// each fake, calls an honest drive "no sign of a fake", refuses what it must not write, and
// leaves every byte of the backing file as it was, also when it is killed in the middle and
// started again. Needs root, /dev/fuse, losetup and the mkfs programs; skipped elsewhere.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "base/crypto.h"
#include "support/loop_volume.h"
#include "support/temp_dir.h"

namespace sorvanta::capacity {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;

std::string BinDir() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  self[n > 0 ? n : 0] = '\0';
  std::string path = self;
  return path.substr(0, path.rfind('/'));
}

std::string Shell(const std::string& cmd, int* status = nullptr) {
  std::string out;
  if (std::FILE* p = popen((cmd + " 2>&1").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    int st = pclose(p);
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string Unavailable() {
  std::string why = testing::LoopVolume::Unavailable();
  if (!why.empty()) return why;
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "needs /dev/fuse";
  int st = 0;
  Shell("command -v mkfs.vfat && command -v mkfs.exfat && command -v fusermount3", &st);
  return st == 0 ? "" : "needs mkfs.vfat, mkfs.exfat and fusermount3";
}

// A child process with its standard input and output on pipes.
struct Child {
  pid_t pid = -1;
  int in = -1;   // its standard input
  int out = -1;  // its standard output
  static Child Start(const std::vector<std::string>& argv, const std::string& errFile) {
    int inPipe[2], outPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) return {};
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
      dup2(inPipe[0], 0);
      dup2(outPipe[1], 1);
      int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (err >= 0) dup2(err, 2);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    c.in = inPipe[1];
    c.out = outPipe[0];
    return c;
  }
  // Reads standard output to its end.
  std::string ReadAll() {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(out, buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
  }
  // Reads one line of standard output.
  std::string ReadLine() {
    std::string line;
    char ch;
    while (read(out, &ch, 1) == 1 && ch != '\n') line.push_back(ch);
    return line;
  }
  int Wait() {
    int st = 0;
    waitpid(pid, &st, 0);
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    in = out = -1;
    pid = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
};

// A FUSE fake drive over a sparse backing file, with a loop device over its one file.
class FakeDrive {
 public:
  FakeDrive(uint64_t claimed, uint64_t real, const std::string& mode, uint64_t cache = 0, int freezeAfter = -1)
      : dir_("fakedrive") {
    backing_ = dir_.Path("backing");
    const std::string mnt = dir_.Path("mnt");
    mkdir(mnt.c_str(), 0700);
    int fd = open(backing_.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(real)) != 0) return;
    close(fd);
    fuse_ = Child::Start({BinDir() + "/fake_drive_fuse", mnt, backing_, std::to_string(claimed), std::to_string(real),
                          mode, std::to_string(cache), std::to_string(freezeAfter)},
                         dir_.Path("fuse.log"));
    // The file appears once the file system is mounted.
    struct stat st {};
    for (int i = 0; i < 1000 && (stat((mnt + "/disk").c_str(), &st) != 0 || st.st_size == 0); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    mounted_ = st.st_size > 0;
    int status = 0;
    if (mounted_) device_ = Shell("losetup -f --show " + mnt + "/disk", &status);
    if (status != 0) device_.clear();
  }
  ~FakeDrive() {
    if (!device_.empty()) Shell("losetup -d " + device_);
    if (mounted_) Shell("fusermount3 -u " + dir_.Path("mnt"));
    if (fuse_.pid > 0) {
      kill(fuse_.pid, SIGTERM);
      fuse_.Wait();
    }
  }
  bool ok() const { return !device_.empty(); }
  const std::string& device() const { return device_; }
  const std::string& backing() const { return backing_; }
  std::string Digest() const { return Shell("sha256sum < " + backing_); }
  // Counts writes from now on for freezeAfter.
  void Arm() { kill(fuse_.pid, SIGUSR2); }
  // Waits until the drive holds back a write, and lets it go on.
  bool WaitFrozen() { return fuse_.ReadLine() == "frozen"; }
  void Release() { kill(fuse_.pid, SIGUSR1); }

 private:
  testing::TempDir dir_;
  std::string backing_;
  std::string device_;
  Child fuse_;
  bool mounted_ = false;
};

struct HelperRun {
  int exit = -1;
  Json::Value json;
};

Child StartHelper(const std::vector<std::string>& args, const std::string& backupDir, const std::string& log) {
  std::vector<std::string> argv{BinDir() + "/sorvanta-probe-helper"};
  argv.insert(argv.end(), args.begin(), args.end());
  setenv("SORVANTA_PROBE_BACKUP_DIR", backupDir.c_str(), 1);
  return Child::Start(argv, log);
}

HelperRun RunHelper(const std::vector<std::string>& args, const std::string& backupDir, const std::string& log) {
  Child c = StartHelper(args, backupDir, log);
  HelperRun r;
  const std::string out = c.ReadAll();
  r.exit = c.Wait();
  Json::Reader().parse(out, r.json);
  return r;
}

struct DriveCase {
  const char* name;
  uint64_t claimed, real;
  const char* mode;
  const char* mkfs;
  uint64_t cache;
  const char* verdict;
  const char* failureKind;  // "" for none
  bool cli = false;         // run through sorvanta-cli probe instead of the helper
};

TEST(ProbeDrive, NamesEachFakeAndLeavesEveryByteAsItWas) {
  if (std::string why = Unavailable(); !why.empty()) GTEST_SKIP() << why;
  const DriveCase cases[] = {
      {"ext4 wrap 4G/256M", 4 * kGiB, 256 * kMiB, "wrap", "mkfs.ext4 -q -F", 0, "failed", "wrap", true},
      {"vfat drop 2G/384M", 2 * kGiB, 384 * kMiB, "drop", "mkfs.vfat", 0, "failed", "drop"},
      {"exfat wrap 1G/128M, 16M cache", 1 * kGiB, 128 * kMiB, "wrap", "mkfs.exfat", 16 * kMiB, "failed", "wrap"},
      {"ext4 drop 3G/512M", 3 * kGiB, 512 * kMiB, "drop", "mkfs.ext4 -q -F", 0, "failed", "drop"},
      {"ext4 honest 1G", 1 * kGiB, 1 * kGiB, "honest", "mkfs.ext4 -q -F", 8 * kMiB, "noSignOfFake", ""},
  };
  for (const DriveCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDrive drive(c.claimed, c.real, c.mode, c.cache);
    ASSERT_TRUE(drive.ok());
    int st = 0;
    ASSERT_EQ((Shell(std::string(c.mkfs) + " " + drive.device(), &st), st), 0);
    const std::string before = drive.Digest();
    testing::TempDir backups("probe-backup");
    HelperRun r;
    if (c.cli) {
      setenv("SORVANTA_PROBE_BACKUP_DIR", backups.path().c_str(), 1);
      Child cli = Child::Start({BinDir() + "/sorvanta-cli", "probe", "--yes", "--force", "--json", drive.device()},
                               backups.Path("log"));
      Json::Reader().parse(cli.ReadAll(), r.json);
      EXPECT_EQ(cli.Wait(), *c.failureKind ? 1 : 0);
    } else {
      r = RunHelper({"--force", drive.device()}, backups.path(), backups.Path("log"));
      EXPECT_EQ(r.exit, 0) << testing::ReadWholeFile(backups.Path("log"));
    }
    EXPECT_EQ(r.json["verdict"].asString(), c.verdict);
    EXPECT_EQ(r.json["failureKind"].asString(), c.failureKind);
    EXPECT_TRUE(r.json["restored"].asBool());
    EXPECT_TRUE(r.json["quick"].asBool());
    if (*c.failureKind) {
      const long long error = static_cast<long long>(r.json["realCapacityEstimate"].asUInt64() - c.real);
      EXPECT_LE(std::llabs(error), static_cast<long long>(std::max(c.claimed / 100, 64 * kMiB)));
    }
    EXPECT_LT(r.json["bytesWritten"].asUInt64(), 300 * kMiB);
    EXPECT_EQ(drive.Digest(), before);
    EXPECT_FALSE(std::ifstream(backups.Path("quick-probe.backup")).good());
  }
}

TEST(ProbeDrive, KilledInTheMiddleIsPutBackOnTheNextStart) {
  if (std::string why = Unavailable(); !why.empty()) GTEST_SKIP() << why;
  // Killed among the test sectors, and later among the wrapped places or the flush data (of
  // about 250 writes before the probe writes back).
  for (int freezeAfter : {20, 120}) {
    SCOPED_TRACE(freezeAfter);
    FakeDrive drive(2 * kGiB, 256 * kMiB, "wrap", 0, freezeAfter);
    ASSERT_TRUE(drive.ok());
    int st = 0;
    ASSERT_EQ((Shell("mkfs.ext4 -q -F " + drive.device(), &st), st), 0);
    const std::string before = drive.Digest();
    testing::TempDir backups("probe-backup");
    drive.Arm();
    Child helper = StartHelper({"--force", drive.device()}, backups.path(), backups.Path("log"));
    ASSERT_TRUE(drive.WaitFrozen());
    kill(helper.pid, SIGKILL);
    drive.Release();  // the write the helper waits for ends, and so does the helper
    helper.Wait();
    EXPECT_NE(drive.Digest(), before);
    ASSERT_TRUE(std::ifstream(backups.Path("quick-probe.backup")).good());

    HelperRun again = RunHelper({"--force", drive.device()}, backups.path(), backups.Path("log"));
    EXPECT_NE(testing::ReadWholeFile(backups.Path("log")).find("上次快速鉴定备份的数据已写回并核对无误"),
              std::string::npos);
    EXPECT_EQ(again.json["failureKind"].asString(), "wrap");
    EXPECT_EQ(drive.Digest(), before);
    EXPECT_FALSE(std::ifstream(backups.Path("quick-probe.backup")).good());
  }
}

TEST(ProbeDrive, RefusesWhatItMustNotWrite) {
  if (std::string why = Unavailable(); !why.empty()) GTEST_SKIP() << why;
  // Honest, so that the file system on it can be mounted.
  FakeDrive drive(512 * kMiB, 512 * kMiB, "honest");
  ASSERT_TRUE(drive.ok());
  int st = 0;
  // Without lazy initialisation, so that the mounted file system writes nothing by itself.
  ASSERT_EQ((Shell("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + drive.device(), &st), st), 0);
  testing::TempDir backups("probe-backup");
  const std::string mnt = backups.Path("mnt");
  mkdir(mnt.c_str(), 0700);
  ASSERT_EQ((Shell("mount " + drive.device() + " " + mnt, &st), st), 0);
  Shell("sync");
  const std::string before = drive.Digest();
  struct Case {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{drive.device()}, " 不是可移动磁盘；确定要鉴定它时请加 --force"},
      {{"--force", drive.device()}, " 上有已挂载的文件系统（" },
      {{"--force", drive.backing()}, " 不是整个磁盘；快速鉴定只能用于整个磁盘，不能用于分区或文件"},
  };
  for (const Case& c : cases) {
    HelperRun r = RunHelper(c.args, backups.path(), backups.Path("log"));
    EXPECT_EQ(r.exit, 2);
    EXPECT_NE(r.json["error"].asString().find(c.error), std::string::npos) << r.json["error"].asString();
  }
  EXPECT_EQ(drive.Digest(), before);
  // With --unmount it unmounts and probes (the unmount itself writes the file system).
  HelperRun r = RunHelper({"--force", "--unmount", drive.device()}, backups.path(), backups.Path("log"));
  EXPECT_EQ(r.json["verdict"].asString(), "noSignOfFake");
  EXPECT_TRUE(r.json["restored"].asBool());
  EXPECT_EQ(Shell("findmnt -n " + mnt), "");
}

}  // namespace
}  // namespace sorvanta::capacity
