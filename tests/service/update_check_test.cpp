// The update and announcement check against the in-process reference service and a
// scripted HTTPS server: which version replies lead to an update, and that nothing is
// installed unless it was fetched over verified TLS, is a program for this machine and
// could be written whole into a writable program folder.
#include "service/update_check.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "server/reference_service.h"
#include "support/https_test_server.h"
#include "support/scoped_env_var.h"
#include "support/temp_dir.h"

namespace sorvanta {
namespace {

namespace fs = std::filesystem;
using testing::HttpsTestServer;
using testing::ReadWholeFile;
using testing::ScopedEnvVar;
using testing::ScopedServiceUrl;
using testing::TempDir;
using testing::WriteWholeFile;

const std::string kOldProgram = "the running program, version 1.0.0";
constexpr uid_t kUser = 4242;  // no passwd entry needed

// Records what the check shows, in order.
struct RecordingReporter : UpdateReporter {
  std::vector<std::string> announcements, notices;
  int upToDate = 0;
  void ShowAnnouncement(const std::string& text) override { announcements.push_back(text); }
  void AddNotice(const std::string& line) override { notices.push_back(line); }
  void MarkUpToDate() override { ++upToDate; }
};

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class UpdateCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.ok());
    programDir_ = folder_.Path("bin");
    fs::create_directories(programDir_);
    options_.productVersion = "1.0.0";
    options_.programPath = programDir_ + "/sorvanta";
    ASSERT_TRUE(WriteWholeFile(options_.programPath, kOldProgram));
    ::chmod(options_.programPath.c_str(), 0755);
    // Root never installs an update, so as root the check acts for an ordinary user who
    // owns the program file.
    if (::geteuid() == 0) {
      ASSERT_EQ(::chown(options_.programPath.c_str(), kUser, kUser), 0);
    }
    options_.identity = {::geteuid() == 0 ? kUser : ::geteuid(), false};
    options_.restart = [this](const std::string& path) { restarts_.push_back(path); };
    ::unsetenv("SORVANTA_SERVICE_CA");
  }

  UpdateOutcome Run() {
    std::atomic<bool> stop{false};
    return RunUpdateCheck(options_, reporter_, stop);
  }

  // Trusts exactly the certificate given (PEM) as the service's own CA.
  void TrustOnly(const std::string& pem) {
    ASSERT_TRUE(WriteWholeFile(folder_.Path("ca.pem"), pem));
    ca_ = std::make_unique<ScopedEnvVar>("SORVANTA_SERVICE_CA", folder_.Path("ca.pem"));
  }

  void ExpectOldProgramKept() {
    EXPECT_EQ(ReadWholeFile(options_.programPath), kOldProgram);
    EXPECT_EQ(Listing(programDir_), std::vector<std::string>{"sorvanta"});
    EXPECT_TRUE(restarts_.empty());
  }

  TempDir folder_{"update"};
  std::string programDir_;
  UpdateOptions options_;
  RecordingReporter reporter_;
  std::vector<std::string> restarts_;
  std::unique_ptr<ScopedEnvVar> ca_;
};

// The reference service with a release of this machine's /bin/true as version 2.0.0.
class ReferenceServiceUpdateTest : public UpdateCheckTest {
 protected:
  void SetUp() override {
    UpdateCheckTest::SetUp();
    ASSERT_TRUE(data_.ok());
    release_ = ReadWholeFile("/bin/true");
    ASSERT_FALSE(release_.empty());
    ASSERT_TRUE(WriteWholeFile(data_.Path("sorvanta-2.0.0"), release_));
  }
  void StartService(const std::string& version) {
    server::ServiceOptions options;
    options.port = 0;
    options.dataDir = data_.path();
    options.releaseVersion = version;
    options.releaseFile = data_.Path("sorvanta-2.0.0");
    std::string error;
    service_ = server::ReferenceService::Start(options, &error);
    ASSERT_TRUE(service_) << error;
    url_ = std::make_unique<ScopedServiceUrl>(service_->BaseUrl());
  }
  void TrustTheService() { TrustOnly(ReadWholeFile(data_.Path("ca.pem"))); }

  TempDir data_{"update-service"};
  std::string release_;
  std::unique_ptr<server::ReferenceService> service_;
  std::unique_ptr<ScopedServiceUrl> url_;
};

// The new program replaces the old file by a rename: a handle opened on the old file
// before the update still reads the old bytes whole, and the path names the new ones.
TEST_F(ReferenceServiceUpdateTest, NewerVersionReplacesTheProgramAtomicallyAndRestarts) {
  StartService("2.0.0");
  TrustTheService();
  FILE* oldHandle = std::fopen(options_.programPath.c_str(), "rb");
  ASSERT_NE(oldHandle, nullptr);
  struct stat before {};
  ::stat(options_.programPath.c_str(), &before);

  EXPECT_EQ(Run(), UpdateOutcome::kInstalled);

  struct stat after {};
  ::stat(options_.programPath.c_str(), &after);
  EXPECT_NE(before.st_ino, after.st_ino);
  EXPECT_EQ(after.st_mode & 0777, 0755u);
  EXPECT_EQ(ReadWholeFile(options_.programPath), release_);
  char buffer[256] = {};
  size_t n = std::fread(buffer, 1, sizeof buffer, oldHandle);
  std::fclose(oldHandle);
  EXPECT_EQ(std::string(buffer, n), kOldProgram);
  EXPECT_EQ(Listing(programDir_), std::vector<std::string>{"sorvanta"});  // no temporary left
  EXPECT_EQ(restarts_, std::vector<std::string>{options_.programPath});
  EXPECT_TRUE(reporter_.notices.empty());
}

// Whoever must not replace the program file only hears that a newer version exists: root,
// a set-id start, another user than the file's owner. Whoever may gets a plain program,
// never a set-id one, even when the old file was.
TEST_F(ReferenceServiceUpdateTest, OnlyTheOwnerOfTheFileInstallsAndNeverASetIdProgram) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to own files as other users";
  StartService("2.0.0");
  TrustTheService();
  struct Case {
    const char* what;
    uid_t owner;
    platform::ProcessIdentity who;
  };
  for (const Case& c : {Case{"root over a root-owned copy", 0, {0, false}},
                        Case{"a set-gid start", kUser, {kUser, true}},
                        Case{"another user's copy", kUser + 1, {kUser, false}}}) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(::chown(options_.programPath.c_str(), c.owner, c.owner), 0);
    options_.identity = c.who;
    reporter_ = RecordingReporter();
    EXPECT_EQ(Run(), UpdateOutcome::kReadOnly);
    EXPECT_EQ(reporter_.notices,
              std::vector<std::string>{
                  "发现新版本 2.0.0。程序所在的文件夹不可写（由软件包管理器安装），请通过软件包管理器升级。"});
    ExpectOldProgramKept();
  }
  EXPECT_EQ(platform::ReplaceRefusal("/usr/bin/sorvanta", {kUser, false}), "installed under /usr");

  ASSERT_EQ(::chown(options_.programPath.c_str(), kUser, kUser), 0);
  ASSERT_EQ(::chmod(options_.programPath.c_str(), 06755), 0);
  options_.identity = {kUser, false};
  EXPECT_EQ(Run(), UpdateOutcome::kInstalled);
  struct stat after {};
  ASSERT_EQ(::stat(options_.programPath.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0755u);
}

// A folder this process may not write (a read-only bind mount as root, else mode 0555):
// only a line saying that a newer version exists.
TEST_F(ReferenceServiceUpdateTest, ReadOnlyProgramFolderOnlySaysANewerVersionExists) {
  StartService("2.0.0");
  TrustTheService();
  bool mounted = false;
  if (::geteuid() == 0) {
    mounted = ::mount(programDir_.c_str(), programDir_.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (mounted &&
        ::mount(nullptr, programDir_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      ::umount2(programDir_.c_str(), MNT_DETACH);
      GTEST_SKIP() << "cannot make a read-only bind mount";
    }
    if (!mounted) GTEST_SKIP() << "cannot make a read-only bind mount";
  } else {
    ::chmod(programDir_.c_str(), 0555);
  }
  const UpdateOutcome outcome = Run();
  const std::string programAfter = ReadWholeFile(options_.programPath);
  if (mounted) ::umount2(programDir_.c_str(), MNT_DETACH);
  ::chmod(programDir_.c_str(), 0755);

  EXPECT_EQ(outcome, UpdateOutcome::kReadOnly);
  EXPECT_EQ(reporter_.notices,
            std::vector<std::string>{
                "发现新版本 2.0.0。程序所在的文件夹不可写（由软件包管理器安装），请通过软件包管理器升级。"});
  EXPECT_EQ(programAfter, kOldProgram);
  ExpectOldProgramKept();
}

// The box then holds one line naming the server that could not be reached.
TEST_F(UpdateCheckTest, UnreachableServiceIsNamedInTheBoxAndNothingIsWritten) {
  const std::string address = "127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort());
  ScopedServiceUrl url("https://" + address + "/");
  EXPECT_EQ(Run(), UpdateOutcome::kNoVersion);
  EXPECT_EQ(reporter_.announcements, std::vector<std::string>{""});
  EXPECT_EQ(reporter_.notices, std::vector<std::string>{"无法连接服务器 " + address + "：连接被拒绝（服务没有运行？）"});
  EXPECT_EQ(reporter_.upToDate, 0);
  ExpectOldProgramKept();
}

// A scripted service that the check trusts: fixed version reply, counted downloads.
class ScriptedUpdateTest : public UpdateCheckTest {
 protected:
  void Serve(const std::string& versionReply, const std::string& download) {
    versionReply_ = versionReply;
    download_ = download;
    server_.Get("/update/sorvanta/getAnnouncementPC", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("公告", "text/plain; charset=utf-8");
    });
    server_.Get("/update/sorvanta/versionPC", [this](const httplib::Request&, httplib::Response& res) {
      std::string reply = versionReply_;
      const size_t at = reply.find("URL");
      if (at != std::string::npos) reply.replace(at, 3, server_.Url("program"));
      res.set_content(reply, "text/plain");
    });
    server_.Get("/program", [this](const httplib::Request&, httplib::Response& res) {
      ++downloads_;
      res.set_content(download_, "application/octet-stream");
    });
    server_.Start();
    url_ = std::make_unique<ScopedServiceUrl>(server_.BaseUrl());
    TrustOnly(server_.CertificatePem());
  }

  HttpsTestServer server_;
  std::string versionReply_, download_;
  std::atomic<int> downloads_{0};
  std::unique_ptr<ScopedServiceUrl> url_;
};

TEST_F(ScriptedUpdateTest, OnlyADifferentFirstPieceOfExactlyTwoLeadsToADownload) {
  struct Case {
    std::string reply;
    UpdateOutcome outcome;
    int downloads;
  };
  const Case cases[] = {
      {"1.0.0", UpdateOutcome::kNoVersion, 0},
      {"2.0.0||URL||extra", UpdateOutcome::kNoVersion, 0},
      {"", UpdateOutcome::kNoVersion, 0},
      {"1.0.0||URL", UpdateOutcome::kUpToDate, 0},
      {"1.0.0 ||URL", UpdateOutcome::kDownloadFailed, 1},  // a trailing blank is a difference
      {"1.0.0-beta||URL", UpdateOutcome::kDownloadFailed, 1},
      {"2.0.0|||URL", UpdateOutcome::kDownloadFailed, 1},  // a third bar still gives two pieces
      {"0.9.0||URL", UpdateOutcome::kDownloadFailed, 1},   // lower counts as different too
  };
  Serve("", "");  // every download is empty, so nothing can be installed
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    versionReply_ = c.reply;
    downloads_ = 0;
    reporter_ = RecordingReporter();
    EXPECT_EQ(Run(), c.outcome);
    EXPECT_EQ(downloads_.load(), c.downloads);
    EXPECT_EQ(reporter_.announcements, std::vector<std::string>{"公告"});
    EXPECT_EQ(reporter_.upToDate, c.outcome == UpdateOutcome::kUpToDate ? 1 : 0);
    if (c.outcome == UpdateOutcome::kDownloadFailed) {
      ASSERT_EQ(reporter_.notices.size(), 1u);
      EXPECT_TRUE(StartsWith(reporter_.notices[0], "新版本 ")) << reporter_.notices[0];
      EXPECT_NE(reporter_.notices[0].find(" 下载失败，本次不升级。"), std::string::npos);
    } else {
      EXPECT_TRUE(reporter_.notices.empty());
    }
    ExpectOldProgramKept();
  }
}

TEST_F(ScriptedUpdateTest, DownloadThatIsNoProgramForThisMachineIsRefused) {
  const std::string native = ReadWholeFile("/bin/true");
  ASSERT_GT(native.size(), 64u);
  std::string foreign = native;
  foreign[18] = static_cast<char>(foreign[18] == 0x3e ? 0xb7 : 0x3e);  // e_machine: x86-64 <-> arm64
  std::string otherWordSize = native;
  otherWordSize[4] = static_cast<char>(otherWordSize[4] == 2 ? 1 : 2);  // EI_CLASS
  std::string objectFile = native;
  objectFile[16] = 1;  // e_type ET_REL: not a program
  Serve("2.0.0||URL", "");
  for (const std::string& body :
       {std::string("#!/bin/sh\nrm -rf ~\n"), foreign, otherWordSize, objectFile, native.substr(0, 63)}) {
    download_ = body;
    reporter_ = RecordingReporter();
    EXPECT_EQ(Run(), UpdateOutcome::kNotRunnable);
    EXPECT_EQ(reporter_.notices,
              std::vector<std::string>{"下载的新版本 2.0.0 不是本机可以运行的程序，本次不升级。"});
    ExpectOldProgramKept();
  }
}

// A release labelled with another version that is the very program in place is not
// installed again, so a mislabelled release cannot restart the program at every start.
TEST_F(ScriptedUpdateTest, DownloadIdenticalToTheProgramIsNotInstalledAgain) {
  const std::string program = ReadWholeFile("/bin/true");
  ASSERT_TRUE(WriteWholeFile(options_.programPath, program));
  struct stat before {};
  ::stat(options_.programPath.c_str(), &before);
  Serve("2.0.0||URL", program);
  EXPECT_EQ(Run(), UpdateOutcome::kSameProgram);
  struct stat after {};
  ::stat(options_.programPath.c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_TRUE(restarts_.empty());
}

// The version reply is verified, but the download address is not: another server with an
// untrusted certificate, plain http, or the trusted server under a name its certificate
// does not carry (the certificate names 127.0.0.1 only).
TEST_F(ScriptedUpdateTest, DownloadFromAnUnverifiedAddressIsRefused) {
  HttpsTestServer untrusted;
  int untrustedHits = 0;
  untrusted.Get("/program", [&](const httplib::Request&, httplib::Response& res) {
    ++untrustedHits;
    res.set_content(ReadWholeFile("/bin/true"), "application/octet-stream");
  });
  untrusted.Start();
  Serve("", "");
  for (const std::string& address :
       {untrusted.Url("program"), "http://127.0.0.1:" + std::to_string(untrusted.Port()) + "/program",
        "https://localhost:" + std::to_string(server_.Port()) + "/program"}) {
    SCOPED_TRACE(address);
    versionReply_ = "2.0.0||" + address;
    reporter_ = RecordingReporter();
    EXPECT_EQ(Run(), UpdateOutcome::kNotVerified);
    ASSERT_EQ(reporter_.notices.size(), 1u);
    EXPECT_TRUE(StartsWith(reporter_.notices[0], "无法验证新版本下载地址的证书，本次不升级（"))
        << reporter_.notices[0];
    ExpectOldProgramKept();
  }
  EXPECT_EQ(untrustedHits, 0);  // nothing reached a handler: the handshake was refused
  EXPECT_EQ(downloads_.load(), 0);
}

// An update that arrives while a tool run is open waits, says so, and is installed and
// started once the run ended; one still waiting when the program ends is left alone.
TEST_F(ScriptedUpdateTest, UpdateDuringAToolRunWaitsForItsEnd) {
  const std::string release = ReadWholeFile("/bin/true");
  Serve("2.0.0||URL", release);
  for (bool runEnds : {false, true}) {
    SCOPED_TRACE(runEnds ? "the run ends" : "the program ends first");
    options_.toolRuns = std::make_shared<ToolRunGate>();
    options_.toolRuns->Begin();
    std::promise<std::string> waiting;
    struct WaitReporter : RecordingReporter {
      std::promise<std::string>* waiting;
      void AddNotice(const std::string& line) override { waiting->set_value(line); }
    } reporter;
    reporter.waiting = &waiting;
    std::atomic<bool> stop{false};
    std::future<UpdateOutcome> outcome =
        std::async(std::launch::async, [&] { return RunUpdateCheck(options_, reporter, stop); });

    EXPECT_EQ(waiting.get_future().get(),
              "新版本 2.0.0 已下载，正在进行的测试结束并关闭工具窗口后再安装并重新启动（若先退出程序，则在下次启动时安装）。");
    EXPECT_EQ(ReadWholeFile(options_.programPath), kOldProgram);
    EXPECT_TRUE(restarts_.empty());
    if (runEnds) {
      options_.toolRuns->End();
      EXPECT_EQ(outcome.get(), UpdateOutcome::kInstalled);
      EXPECT_EQ(ReadWholeFile(options_.programPath), release);
      EXPECT_EQ(restarts_, std::vector<std::string>{options_.programPath});
    } else {
      stop = true;
      options_.toolRuns->Cancel();
      EXPECT_EQ(outcome.get(), UpdateOutcome::kStopped);
      ExpectOldProgramKept();
    }
  }
}

// Once stop is set (the window closed), a downloaded update is neither installed nor started.
TEST_F(ScriptedUpdateTest, StopBeforeInstallingLeavesTheProgramAlone) {
  Serve("2.0.0||URL", ReadWholeFile("/bin/true"));
  std::atomic<bool> stop{false};
  struct StoppingReporter : RecordingReporter {
    std::atomic<bool>* stop;
    void ShowAnnouncement(const std::string& text) override {
      RecordingReporter::ShowAnnouncement(text);
      stop->store(true);
    }
  } reporter;
  reporter.stop = &stop;
  EXPECT_EQ(RunUpdateCheck(options_, reporter, stop), UpdateOutcome::kStopped);
  EXPECT_EQ(downloads_.load(), 0);
  ExpectOldProgramKept();
}

}  // namespace
}  // namespace sorvanta
