// The command line's --json output read the way a script reads it: parsed as JSON, keys
// and values looked up by their literal names.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <vector>
#include <cstdio>
#include <string>

#include "support/loop_volume.h"

namespace sorvanta {
namespace {

// The program sits beside the test programs in the build's bin folder.
std::string CliPath() {
  std::array<char, 4096> self{};
  ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
  std::string path(self.data(), n > 0 ? static_cast<size_t>(n) : 0);
  return path.substr(0, path.rfind('/') + 1) + "sorvanta-cli";
}

struct CliRun {
  int exitCode = -1;
  std::string out;  // standard output only; the log goes to standard error with --json
};

CliRun RunCli(const std::string& args) {
  CliRun run;
  FILE* pipe = ::popen((CliPath() + " " + args + " 2>/dev/null </dev/null").c_str(), "r");
  if (!pipe) return run;
  std::array<char, 4096> buf{};
  for (size_t n; (n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0;) run.out.append(buf.data(), n);
  int status = ::pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

Json::Value Parse(const std::string& text) {
  Json::Value v;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &errors)) << errors << "\n" << text;
  return v;
}

TEST(CliJson, CapacityCheckAndVolumeListOnASmallVolume) {
  ASSERT_EQ(::access(CliPath().c_str(), X_OK), 0) << CliPath();
  if (!testing::LoopVolume::Unavailable().empty()) GTEST_SKIP() << testing::LoopVolume::Unavailable();
  testing::LoopVolume volume(16ull << 20);
  if (!volume.ok()) GTEST_SKIP() << volume.error();

  CliRun list = RunCli("capacity --list --json");
  EXPECT_EQ(list.exitCode, 0);
  Json::Value volumes = Parse(list.out);
  ASSERT_TRUE(volumes.isArray());
  bool found = false;
  for (const Json::Value& v : volumes) {
    if (v["root"].asString() != volume.root()) continue;
    found = true;
    EXPECT_EQ(v["fileSystem"].asString(), "EXT4");
    EXPECT_TRUE(v["label"].isString());
    EXPECT_GT(v["freeBytes"].asUInt64(), 0u);
  }
  EXPECT_TRUE(found) << list.out;

  CliRun check = RunCli("capacity '" + volume.root() + "' --yes --json");
  EXPECT_EQ(check.exitCode, 0);
  Json::Value r = Parse(check.out);
  EXPECT_EQ(r["mode"].asString(), "capacity");
  EXPECT_EQ(r["root"].asString(), volume.root());
  EXPECT_GT(r["freeBytes"].asUInt64(), 0u);
  EXPECT_GT(r["writtenBytes"].asUInt64(), 0u);
  EXPECT_LE(r["writtenBytes"].asUInt64(), r["freeBytes"].asUInt64());
  EXPECT_EQ(r["validSpace"].asUInt64(), r["writtenBytes"].asUInt64()) << check.out;
  EXPECT_EQ(r["errors"].asInt(), 0);
  EXPECT_TRUE(r["aborted"].isBool());
  EXPECT_FALSE(r["aborted"].asBool());
  EXPECT_EQ(r["endMessage"].asString().rfind("处理结束！您的磁盘有效容量：", 0), 0u) << r["endMessage"].asString();
  EXPECT_TRUE(r["keptFiles"].isArray());
  EXPECT_EQ(r["keptFiles"].size(), 0u);
}

TEST(CliJson, DiskListEntriesCarryRootModelAndSerial) {
  ASSERT_EQ(::access(CliPath().c_str(), X_OK), 0) << CliPath();
  CliRun disks = RunCli("disks --json");
  if (disks.exitCode != 0) GTEST_SKIP() << "no disk list on this machine";
  Json::Value list = Parse(disks.out);
  ASSERT_TRUE(list.isArray());
  for (const Json::Value& d : list) {
    EXPECT_EQ(d.getMemberNames(), (std::vector<std::string>{"model", "root", "serial"})) << disks.out;
    EXPECT_EQ(d["root"].asString().rfind('/', 0), 0u);
  }
}

}  // namespace
}  // namespace sorvanta
