// Removal of "autorun.inf" from volume roots: files, read-only files, folders with
// content, links that must not be followed, and read-only media that must be skipped.
#include "platform/autorun.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/fake_volumes.h"
#include "support/loop_volume.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using sorvanta::platform::AutorunOutcome;
using sorvanta::platform::RemoveAutorunEntries;
using sorvanta::platform::RemoveAutorunEntry;

namespace {

class AutorunTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(top_.ok()); }
  std::string Make(const std::string& rel) {
    fs::path p = fs::path(top_.path()) / rel;
    fs::create_directories(p);
    return p.string();
  }
  static void Write(const fs::path& path, const std::string& text = "[autorun]\nopen=x.exe\n") {
    std::ofstream(path) << text;
  }

  sorvanta::testing::TempDir top_{"autorun"};  // removed even where tests made folders read-only
};

TEST_F(AutorunTest, RemovesFilesReadOnlyFilesAndFoldersOnEveryVolumeAndNothingElse) {
  sorvanta::testing::FakeVolumes volumes;
  std::string plain = Make("c"), readOnly = Make("d"), folder = Make("e"), none = Make("f");
  for (const std::string& root : {plain, readOnly, folder, none}) volumes.Add(root);

  Write(fs::path(plain) / "autorun.inf");
  Write(fs::path(plain) / "autorun.inf.bak");
  Write(fs::path(readOnly) / "autorun.inf");
  chmod((fs::path(readOnly) / "autorun.inf").c_str(), 0444);
  // A folder with files, a nested read-only folder holding a read-only file.
  fs::path dir = fs::path(folder) / "autorun.inf";
  fs::create_directories(dir / "sub" / "deeper");
  Write(dir / "a.txt");
  Write(dir / "sub" / "b.txt");
  Write(dir / "sub" / "deeper" / "c.txt");
  chmod((dir / "sub" / "deeper" / "c.txt").c_str(), 0400);
  chmod((dir / "sub" / "deeper").c_str(), 0500);
  chmod((dir / "sub").c_str(), 0500);
  chmod(dir.c_str(), 0500);
  // Not at a root: left alone.
  fs::create_directories(fs::path(none) / "inner");
  Write(fs::path(none) / "inner" / "autorun.inf");

  auto results = RemoveAutorunEntries();
  ASSERT_EQ(results.size(), 4u);
  for (const auto& r : results) {
    AutorunOutcome want = r.root == none ? AutorunOutcome::kAbsent : AutorunOutcome::kRemoved;
    EXPECT_EQ(r.outcome, want) << r.root;
  }
  EXPECT_FALSE(fs::exists(fs::path(plain) / "autorun.inf"));
  EXPECT_FALSE(fs::exists(fs::path(readOnly) / "autorun.inf"));
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_TRUE(fs::exists(fs::path(plain) / "autorun.inf.bak"));
  EXPECT_TRUE(fs::exists(fs::path(none) / "inner" / "autorun.inf"));
  EXPECT_TRUE(fs::exists(folder));
}

TEST_F(AutorunTest, LinksAreRemovedAsLinksAndNeverFollowed) {
  std::string root = Make("root");
  std::string outside = Make("outside");
  Write(fs::path(outside) / "keep.txt");
  fs::create_directory_symlink(outside, fs::path(root) / "autorun.inf");
  EXPECT_EQ(RemoveAutorunEntry(root), AutorunOutcome::kRemoved);
  EXPECT_FALSE(fs::is_symlink(fs::path(root) / "autorun.inf"));
  EXPECT_TRUE(fs::exists(fs::path(outside) / "keep.txt"));

  // A link inside an autorun folder pointing elsewhere: the link goes, its target stays.
  fs::path dir = fs::path(root) / "autorun.inf";
  fs::create_directories(dir);
  fs::create_directory_symlink(outside, dir / "escape");
  fs::create_symlink(fs::path(outside) / "keep.txt", dir / "file-link");
  EXPECT_EQ(RemoveAutorunEntry(root), AutorunOutcome::kRemoved);
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_TRUE(fs::exists(fs::path(outside) / "keep.txt"));
}

// Another user who can write a volume root keeps swapping a folder inside "autorun.inf" with
// a link to a file of their choosing while the removal runs: the link's target keeps its mode.
TEST_F(AutorunTest, AFolderSwappedForALinkMidwayNeverChangesTheLinkTargetsMode) {
  std::string root = Make("race");
  fs::path victim = fs::path(top_.path()) / "victim";
  Write(victim);
  ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
  const fs::path dir = fs::path(root) / "autorun.inf";
  const fs::path folder = dir / "x", link = dir / "y";
  std::atomic<bool> done{false};
  std::thread attacker([&] {
    while (!done) renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
  });
  int round = 0;
  struct stat st{};
  // Up to 10000 rounds, but no longer than 5 s on a slow or loaded machine.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (; round < 10000 && std::chrono::steady_clock::now() < until; ++round) {
    mkdir(dir.c_str(), 0755);
    if (mkdir(folder.c_str(), 0700) == 0) chmod(folder.c_str(), 0777);
    symlink(victim.c_str(), link.c_str());
    RemoveAutorunEntry(root);
    if (stat(victim.c_str(), &st) != 0 || (st.st_mode & 07777) != 0600) break;
  }
  done = true;
  attacker.join();
  ASSERT_EQ(stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << "mode changed in round " << round;
}

TEST_F(AutorunTest, NameMatchesInAnyCase) {
  std::string root = Make("mixed");
  Write(fs::path(root) / "AutoRun.INF");
  fs::create_directories(fs::path(root) / "AUTORUN.INF" / "sub");
  Write(fs::path(root) / "AUTORUN.INF" / "sub" / "x.txt");
  Write(fs::path(root) / "autorun.in");
  Write(fs::path(root) / "AUTORUN.INF.txt");
  EXPECT_EQ(RemoveAutorunEntry(root), AutorunOutcome::kRemoved);
  EXPECT_FALSE(fs::exists(fs::path(root) / "AutoRun.INF"));
  EXPECT_FALSE(fs::exists(fs::path(root) / "AUTORUN.INF"));
  EXPECT_TRUE(fs::exists(fs::path(root) / "autorun.in"));
  EXPECT_TRUE(fs::exists(fs::path(root) / "AUTORUN.INF.txt"));
}

// An "autorun.inf" that is itself a mount point (another file system, or a bind mount of
// a folder of the same one) is left alone with everything in it.
TEST_F(AutorunTest, MountPointEntryIsLeftAloneWithItsContent) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  std::string root = Make("vol");
  fs::path entry = fs::path(root) / "autorun.inf";
  fs::create_directories(entry);
  if (std::system(("mount -t tmpfs -o size=1m sorvanta-test '" + entry.string() + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  Write(entry / "precious.txt");
  fs::create_directories(entry / "folder");
  Write(entry / "folder" / "more.txt");
  const AutorunOutcome tmpfsOutcome = RemoveAutorunEntry(root);
  const bool tmpfsKept = fs::exists(entry / "precious.txt") && fs::exists(entry / "folder" / "more.txt");
  std::system(("umount '" + entry.string() + "'").c_str());
  EXPECT_EQ(tmpfsOutcome, AutorunOutcome::kSkipped);
  EXPECT_TRUE(tmpfsKept);

  std::string other = Make("vol/elsewhere");
  Write(fs::path(other) / "keep.txt");
  ASSERT_EQ(std::system(("mount --bind '" + other + "' '" + entry.string() + "'").c_str()), 0);
  const AutorunOutcome bindOutcome = RemoveAutorunEntry(root);
  std::system(("umount '" + entry.string() + "'").c_str());
  EXPECT_EQ(bindOutcome, AutorunOutcome::kSkipped);
  EXPECT_TRUE(fs::exists(fs::path(other) / "keep.txt"));
  EXPECT_TRUE(fs::exists(entry));
}

// Another volume mounted inside an autorun folder, or a bind mount of a folder of the same
// file system, is never entered: its files belong to something else.
TEST_F(AutorunTest, MountPointsInsideTheFolderAreLeftWithTheirContent) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount";
  std::string root = Make("root");
  std::string outside = Make("outside");
  Write(fs::path(outside) / "precious.txt");
  fs::path dir = fs::path(root) / "autorun.inf";
  fs::create_directories(dir / "other");
  fs::create_directories(dir / "same");
  Write(dir / "junk.txt");

  std::vector<std::string> mounts;
  struct Unmount {
    std::vector<std::string>& paths;
    ~Unmount() {
      for (auto it = paths.rbegin(); it != paths.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
    }
  } unmount{mounts};
  if (mount("tmpfs", (dir / "other").c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount tmpfs";
  mounts.push_back((dir / "other").string());
  Write(dir / "other" / "foreign.txt");
  ASSERT_EQ(mount(outside.c_str(), (dir / "same").c_str(), nullptr, MS_BIND, nullptr), 0);
  mounts.push_back((dir / "same").string());

  EXPECT_EQ(RemoveAutorunEntry(root), AutorunOutcome::kFailed);
  EXPECT_TRUE(fs::exists(dir / "other" / "foreign.txt"));
  EXPECT_TRUE(fs::exists(fs::path(outside) / "precious.txt"));
  EXPECT_FALSE(fs::exists(dir / "junk.txt"));  // the rest of the folder is still removed

  // A folder bind-mounted on the entry itself is left whole.
  std::string root2 = Make("root2");
  fs::create_directories(fs::path(root2) / "autorun.inf");
  ASSERT_EQ(mount(outside.c_str(), (fs::path(root2) / "autorun.inf").c_str(), nullptr, MS_BIND, nullptr), 0);
  mounts.push_back((fs::path(root2) / "autorun.inf").string());
  EXPECT_EQ(RemoveAutorunEntry(root2), AutorunOutcome::kSkipped);
  EXPECT_TRUE(fs::exists(fs::path(outside) / "precious.txt"));
}

TEST_F(AutorunTest, MissingRootIsAbsent) {
  EXPECT_EQ(RemoveAutorunEntry(top_.Path("does-not-exist")), AutorunOutcome::kAbsent);
}

TEST(AutorunReadOnlyMedia, EntryOnReadOnlyVolumeIsSkipped) {
  std::string why = sorvanta::testing::LoopVolume::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  sorvanta::testing::LoopVolume volume(16ull << 20);
  if (!volume.ok()) GTEST_SKIP() << volume.error();
  fs::path entry = fs::path(volume.root()) / "autorun.inf";
  std::ofstream(entry) << "[autorun]\n";
  ASSERT_TRUE(volume.Sync());
  std::string remount = "mount -o remount,ro '" + volume.root() + "'";
  ASSERT_EQ(std::system(remount.c_str()), 0);
  AutorunOutcome outcome = RemoveAutorunEntry(volume.root());
  std::string back = "mount -o remount,rw '" + volume.root() + "'";
  ASSERT_EQ(std::system(back.c_str()), 0);
  EXPECT_EQ(outcome, AutorunOutcome::kSkipped);
  EXPECT_TRUE(fs::exists(entry));
}

}  // namespace
