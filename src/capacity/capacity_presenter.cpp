#include "capacity/capacity_presenter.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>

#include "base/language.h"
#include "platform/volumes.h"

namespace sorvanta::capacity {

std::vector<std::string> ListCapacityVolumes() {
  std::vector<std::string> roots;
  for (const platform::Volume& v : platform::Volumes().List()) {
    if (platform::SpaceOf(v.root)) roots.push_back(v.root);
  }
  return roots;
}

std::optional<CapacityVolume> ReadCapacityVolume(const std::string& root) {
  std::optional<platform::Volume> volume = platform::FindVolume(root);
  if (!volume) return std::nullopt;
  std::optional<platform::VolumeSpace> space = platform::SpaceOf(volume->root);
  if (!space) return std::nullopt;
  CapacityVolume out;
  out.root = volume->root;
  out.label = platform::Volumes().Label(*volume);
  out.fileSystem = platform::FileSystemDisplayName(volume->fsType);
  out.freeBytes = space->freeBytes;
  return out;
}

std::string VolumeInfoText(const CapacityVolume& volume) {
  return volume.label.empty() ? volume.fileSystem : volume.label + ", " + volume.fileSystem;
}

std::string FreeSpaceText(uint64_t freeBytes) {
  char buf[64];
  float mb = static_cast<float>(freeBytes) / 1048576.0f;
  std::snprintf(buf, sizeof(buf), "%.2f MB", static_cast<double>(mb));
  return buf;
}

std::string CapacityHelpText() {
  // Line ends stay out of the translated texts.
  const std::string nl = "\r\n";
  return Tr("原理:") + nl + "  " + Tr("本软件通过覆盖磁盘可用空间来达到彻底清除曾经删除的文件.") + nl + nl + Tr("作用:") + nl +
         "  " +
         Tr("可以彻底清除磁盘曾经储存但被移动、修改、删除的痕迹,这样就可以不必担心以前删除了的文件被他人使用 "
            "磁盘恢复软件 恢复了.") +
         nl + nl + Tr("常识:") + nl + "  " +
         Tr("一般常规方式删除(比如清空回收站或SHIFT+DELETE,以及在windows下的格式化)只是清除文件在文件系统中的索引位置,"
            "而文件的实体还是保存在磁盘扇区里的,所以所谓 磁盘恢复软件 依然能够恢复你已删除了的文件,"
            "只有完全清除文件在磁盘物理扇区上所占用的每一个区块才算彻底删除,所谓的 文件粉碎软件 就是这个原理.");
}

const char* const kBusyCloseText = N_("正在处理,请先停止!");
const char* const kChooseVolumeText = N_("请先选择驱动器");

// Carries the run's events to the window thread; never waits, so the run never blocks on
// the window. What arrives once the run logic is gone is dropped.
class CapacityCheckRun::Relay : public CapacityEvents {
 public:
  Relay(WindowPost post, std::shared_ptr<bool> alive, CapacityCheckRun* owner)
      : post_(std::move(post)), alive_(std::move(alive)), owner_(owner) {}

  void Log(const std::string& message) override {
    Post([message](CapacityCheckRun& r) { r.AddLog(message); });
  }
  void Remaining(uint64_t bytes) override {
    Post([text = MegabytesText(bytes)](CapacityCheckRun& r) { r.view_.SetRemaining(text); });
  }
  void Speed(uint64_t bytes, uint32_t stepMs) override {
    Post([text = CapacitySpeedText(bytes, stepMs)](CapacityCheckRun& r) { r.view_.SetSpeed(text); });
  }
  void Progress(int percent) override {
    Post([percent](CapacityCheckRun& r) { r.view_.SetProgress(percent); });
  }
  void Ended(const CapacityResult& result) {
    Post([result](CapacityCheckRun& r) { r.OnRunEnded(result); });
  }
  void PauseOver() {
    Post([](CapacityCheckRun& r) { r.OnPauseOver(); });
  }

 private:
  void Post(std::function<void(CapacityCheckRun&)> call) {
    post_([alive = alive_, owner = owner_, call = std::move(call)] {
      if (*alive) call(*owner);
    });
  }
  WindowPost post_;
  std::shared_ptr<bool> alive_;
  CapacityCheckRun* owner_;
};

CapacityCheckRun::CapacityCheckRun(CapacityCheckView& view, CapacityCheckConfig config)
    : view_(view),
      config_(std::move(config)),
      post_(view.Poster()),
      alive_(std::make_shared<bool>(true)),
      // The pattern generator is seeded once, when the window opens.
      stream_(std::make_shared<PatternStream>(config_.seed ? config_.seed
                                                            : static_cast<uint32_t>(std::time(nullptr)))) {}

CapacityCheckRun::~CapacityCheckRun() {
  *alive_ = false;
  closing_.request_stop();
  stop_.request_stop();
  runThread_.Wait();
}

void CapacityCheckRun::OnOpen() {
  log_ = CapacityHelpText();
  view_.SetLogText(log_);
  view_.SetMode(CapacityMode::kCapacityCheck);
  ListVolumes();
}

void CapacityCheckRun::OnRefresh() { ListVolumes(); }

void CapacityCheckRun::OnSelectVolume() { ReadSelectedVolume(); }

void CapacityCheckRun::OnMountTableChanged() {
  if (!Active()) ListVolumes();
}

bool CapacityCheckRun::OnCloseRequest() {
  if (!Active()) return true;
  view_.ShowMessage(Tr(kBusyCloseText));
  return false;
}

std::string CapacityCheckRun::SelectedRoot() const {
  const int index = view_.SelectedVolume();
  if (index < 0 || static_cast<size_t>(index) >= choices_.size()) return {};
  return choices_[static_cast<size_t>(index)].root;
}

void CapacityCheckRun::ListVolumes() {
  std::set<std::string> before;
  for (const VolumeChoice& c : choices_) before.insert(c.root);
  const bool firstListing = choices_.empty();
  const std::string previous = selectedRoot_;

  choices_ = ListVolumeChoices(config_.facts);
  std::vector<std::string> lines;
  for (const VolumeChoice& c : choices_) lines.push_back(VolumeChoiceText(c));

  // A removable drive that just appeared is what the user came for; otherwise the pick
  // stays, and a fresh list starts on the first volume that is not the system's.
  int select = -1;
  for (size_t i = 0; i < choices_.size() && !firstListing; ++i) {
    if (choices_[i].removable && !before.count(choices_[i].root)) {
      select = static_cast<int>(i);
      break;
    }
  }
  for (size_t i = 0; select < 0 && !previous.empty() && i < choices_.size(); ++i) {
    if (choices_[i].root == previous) select = static_cast<int>(i);
  }
  if (select < 0) select = PreselectedVolume(choices_);
  view_.SetVolumeLines(lines, select);
  ReadSelectedVolume();
}

void CapacityCheckRun::ReadSelectedVolume() {
  const std::string root = SelectedRoot();
  if (root.empty()) {
    ClearVolumeFields();
    return;
  }
  if (ReadVolume(root)) return;
  // The volume went away: list again, once (a second failure leaves the fields empty).
  if (relisting_) {
    ClearVolumeFields();
    return;
  }
  relisting_ = true;
  ListVolumes();
  relisting_ = false;
}

bool CapacityCheckRun::ReadVolume(const std::string& root) {
  std::optional<CapacityVolume> volume = ReadCapacityVolume(root);
  if (!volume) return false;
  view_.SetVolumeFields(VolumeInfoText(*volume), FreeSpaceText(volume->freeBytes));
  selectedRoot_ = root;
  freeBytes_ = volume->freeBytes;
  return true;
}

void CapacityCheckRun::ClearVolumeFields() {
  view_.SetVolumeFields("", "");
  selectedRoot_.clear();
  freeBytes_ = 0;
}

void CapacityCheckRun::OnStartOrStop() {
  if (Active()) {
    view_.SetStartEnabled(false);
    if (phase_ == Phase::kRunning) phase_ = Phase::kStopping;
    stop_.request_stop();
    return;
  }
  const std::string root = SelectedRoot();
  if (root.empty()) {
    view_.ShowMessage(Tr(kChooseVolumeText));
    return;
  }
  if (!ReadVolume(root)) {
    ListVolumes();
    return;
  }
  const CapacityMode mode = view_.Mode();
  // Nothing is written unless the user agrees to it, with the volume and the amount named.
  if (freeBytes_ > 0) {
    uint64_t totalBytes = 0;
    for (const VolumeChoice& c : choices_) {
      if (c.root == root) totalBytes = c.totalBytes;
    }
    if (!view_.AskYesNo(RunQuestion(root, totalBytes, freeBytes_, mode), true)) return;
  }
  if (IsSystemVolume(root, config_.facts) && !view_.AskYesNo(SystemVolumeQuestion(root, mode), false)) return;
  log_.clear();
  view_.SetLogText(log_);

  CapacityOptions options = config_.run;
  options.root = root;
  options.freeBytes = freeBytes_;
  options.mode = mode;
  options.stream = stream_;
  // A run whose end pause is over is only returning from its thread.
  if (runThread_.Active()) runThread_.Wait(std::chrono::seconds(2));
  stop_ = std::stop_source();
  closing_ = std::stop_source();
  auto relay = std::make_shared<Relay>(post_, alive_, this);
  const uint32_t pauseMs = config_.endPauseMs;
  std::stop_source stop = stop_;
  std::stop_source closing = closing_;
  const bool started = runThread_.Start(
      [options, relay, stop, closing, pauseMs] {
        CapacityResult result = RunCapacityCheck(options, *relay, stop.get_token());
        relay->Ended(result);
        // Start stays disabled for a moment after the end message; only closing cuts it short.
        std::mutex mu;
        std::condition_variable_any cv;
        std::unique_lock<std::mutex> lock(mu);
        cv.wait_for(lock, closing.get_token(), std::chrono::milliseconds(pauseMs), [] { return false; });
        relay->PauseOver();
        return result;
      },
      [stop, closing]() mutable {
        stop.request_stop();
        closing.request_stop();
      });
  if (!started) return;
  phase_ = Phase::kRunning;
  if (freeBytes_ > 0) {
    view_.SetVolumeControlsEnabled(false);
    view_.SetStartText(Tr("停止"));
  }
}

void CapacityCheckRun::AddLog(const std::string& message) {
  std::time_t now = config_.now ? config_.now() : std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "[%H:%M:%S]", &local);
  log_ = stamp + message + "\r\n" + log_;
  view_.SetLogText(log_);
}

void CapacityCheckRun::OnRunEnded(const CapacityResult& result) {
  lastResult_ = result;
  // Files left behind and the verdict come last, so that they are on top of the log.
  for (const std::string& path : result.keptFiles) AddLog(KeptFileLine(path));
  const std::string verdict = VerdictLine(result.verdict);
  if (!verdict.empty()) AddLog(verdict);
  phase_ = Phase::kEnding;
  view_.SetStartEnabled(false);
}

void CapacityCheckRun::OnPauseOver() {
  phase_ = Phase::kIdle;
  view_.SetVolumeControlsEnabled(true);
  view_.SetStartEnabled(true);
  view_.SetStartText(Tr("开始"));
}

}  // namespace sorvanta::capacity
