#include "service/update_check.h"

#include <fstream>
#include <iterator>
#include <vector>

#include "build_config.h"
#include "platform/program_file.h"
#include "service/requests.h"
#include "base/language.h"
#include "base/text.h"

namespace sorvanta {
namespace {

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The whole file, or an empty text when it cannot be read.
std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

void ToolRunGate::Begin() {
  std::lock_guard<std::mutex> lock(mu_);
  ++open_;
}

void ToolRunGate::End() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (open_ > 0) --open_;
  }
  changed_.notify_all();
}

void ToolRunGate::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    cancelled_ = true;
  }
  changed_.notify_all();
}

bool ToolRunGate::WaitUntilIdle(const std::function<void()>& onWait) {
  std::unique_lock<std::mutex> lock(mu_);
  if (open_ > 0 && !cancelled_) {
    lock.unlock();
    if (onWait) onWait();
    lock.lock();
    changed_.wait(lock, [this] { return open_ == 0 || cancelled_; });
  }
  return !cancelled_;
}

UpdateOptions DefaultUpdateOptions() {
  UpdateOptions options;
  options.productVersion = SORVANTA_VERSION;
  options.programPath = platform::ProgramPath();
  return options;
}

UpdateOutcome RunUpdateCheck(const UpdateOptions& options, UpdateReporter& reporter,
                             const std::atomic<bool>& stop) {
  const std::string announcementUrl = ServiceUrl("update/sorvanta/getAnnouncementPC");
  const Result<std::string> announcement = ServiceGetText(announcementUrl);
  if (stop) return UpdateOutcome::kStopped;
  reporter.ShowAnnouncement(announcement.value_or(""));
  // The one line that says the service could not be reached, and which one.
  if (!announcement.ok()) reporter.AddNotice(ServiceFailureText(announcement.status(), announcementUrl));

  const Result<std::string> versionReply = ServiceGetVerifiedText(ServiceUrl("update/sorvanta/versionPC"));
  if (stop) return UpdateOutcome::kStopped;
  if (versionReply.status().code() == StatusCode::kUntrusted) {
    reporter.AddNotice(FormatText(Tr("无法验证更新服务器的证书，本次不检查更新（%s）"), versionReply.status().message().c_str()));
    return UpdateOutcome::kNotVerified;
  }
  if (!versionReply.ok()) return UpdateOutcome::kNoVersion;
  const std::vector<std::string> pieces = SplitPieces(versionReply.value(), "||");
  if (pieces.size() != 2) return UpdateOutcome::kNoVersion;
  const std::string& version = pieces[0];
  if (version == options.productVersion) {
    reporter.MarkUpToDate();
    return UpdateOutcome::kUpToDate;
  }

  // An installed program (a package's folder, a read-only mount) is updated by whoever
  // installed it; only say that a newer version exists.
  // Root passes every access check, so the owner and the place decide as well.
  if (options.programPath.empty() || !platform::IsWritableFolder(FolderOf(options.programPath)) ||
      !platform::ReplaceRefusal(options.programPath, options.identity).empty()) {
    reporter.AddNotice(FormatText(
        Tr("发现新版本 %s。程序所在的文件夹不可写（由软件包管理器安装），请通过软件包管理器升级。"), version.c_str()));
    return UpdateOutcome::kReadOnly;
  }

  const Result<std::string> download = ServiceGetVerifiedBinary(pieces[1]);
  if (stop) return UpdateOutcome::kStopped;
  if (download.status().code() == StatusCode::kUntrusted) {
    reporter.AddNotice(FormatText(Tr("无法验证新版本下载地址的证书，本次不升级（%s）"), download.status().message().c_str()));
    return UpdateOutcome::kNotVerified;
  }
  if (!download.ok() || download->empty()) {
    reporter.AddNotice(FormatText(Tr("新版本 %s 下载失败，本次不升级。"), version.c_str()));
    return UpdateOutcome::kDownloadFailed;
  }
  // A release whose version text differs from the one compiled into it would otherwise be
  // installed and restarted again at every start.
  const std::string& program = download.value();
  if (program == FileBytes(options.programPath)) return UpdateOutcome::kSameProgram;
  if (!platform::IsRunnableHere(program)) {
    reporter.AddNotice(FormatText(Tr("下载的新版本 %s 不是本机可以运行的程序，本次不升级。"), version.c_str()));
    return UpdateOutcome::kNotRunnable;
  }

  // A tool run under way would be cut off by the restart: the new program waits for it.
  if (options.toolRuns && !options.toolRuns->WaitUntilIdle([&] {
        reporter.AddNotice(FormatText(Tr("新版本 %s 已下载，正在进行的测试结束并关闭工具窗口后再安装并重新启动"
                                         "（若先退出程序，则在下次启动时安装）。"),
                                      version.c_str()));
      })) {
    return UpdateOutcome::kStopped;
  }
  if (stop) return UpdateOutcome::kStopped;

  const Status written = platform::ReplaceProgramFile(options.programPath, program);
  if (!written.ok()) {
    reporter.AddNotice(FormatText(Tr("新版本 %s 无法完整写入程序文件夹（磁盘已满？），本次不升级（%s）"), version.c_str(),
                                  written.message().c_str()));
    return UpdateOutcome::kWriteFailed;
  }
  // The new program is in place; once the program is being closed it is left for the next
  // start instead of opening again.
  if (options.restart && !stop) options.restart(options.programPath);
  return UpdateOutcome::kInstalled;
}

}  // namespace sorvanta
