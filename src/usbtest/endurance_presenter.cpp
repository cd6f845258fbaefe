#include "usbtest/endurance_presenter.h"

#include <atomic>
#include <chrono>

#include "base/language.h"
#include "base/text.h"
#include "usbtest/endurance_settings.h"
#include "usbtest/switch_link.h"
#include "usbtest/usb_drives.h"

namespace sorvanta::usbtest {

// Carries one run's events to the window thread; never waits, so the run never blocks on
// the window. The run holds it, so it outlives the run logic: what arrives once the run
// logic is gone, or once a newer run began, is dropped.
class EnduranceRun::Relay : public UsbTestEvents {
 public:
  Relay(WindowPost post, std::shared_ptr<bool> alive, EnduranceRun* owner, int number, std::function<void()> ended)
      : post_(std::move(post)), alive_(std::move(alive)), owner_(owner), number_(number), ended_(std::move(ended)) {}

  void Started(int passes) override {
    Post([passes](EnduranceRun& r) {
      r.table_.Clear();
      r.view_.ClearRows();
      r.view_.SetLogText(Tr("日志："));
      r.view_.SetProgressRange(passes);
      r.view_.SetProgress(0);
    });
  }
  void RowAdded(int row, const std::string& number, const std::string& path) override {
    Post([row, number, path](EnduranceRun& r) {
      if (static_cast<size_t>(row) != r.table_.rows().size()) return;  // rows come in order, one per pass
      r.table_.AddRow(row, number, path);
      r.view_.AddRow(number, path);
    });
  }
  void CellSet(int row, int column, const std::string& text) override {
    Post([row, column, text](EnduranceRun& r) {
      if (row < 0 || static_cast<size_t>(row) >= r.table_.rows().size()) return;
      r.table_.SetCell(row, column, text);
      // The table keeps the result as the run gave it (Chinese, for the export); shown translated.
      r.view_.SetCell(row, column, column == kColResult ? std::string(Tr(text.c_str())) : text);
    });
  }
  void Progress(int passIndex) override {
    Post([passIndex](EnduranceRun& r) { r.view_.SetProgress(passIndex); });
  }
  void Space(int usedPercent) override {
    Post([usedPercent](EnduranceRun& r) { r.view_.SetSpace(usedPercent); });
  }
  void PassRate(const std::string& text) override {
    Post([text](EnduranceRun& r) { r.view_.SetPassRate(text); });
  }
  void Log(const std::string& line) override {
    Post([line](EnduranceRun& r) { r.view_.AppendLog(line); });
  }
  void Ended() override {
    Post([](EnduranceRun& r) { r.OnRunEnded(); });
    if (ended_) ended_();
  }

 private:
  void Post(std::function<void(EnduranceRun&)> call) {
    post_([alive = alive_, owner = owner_, number = number_, call = std::move(call)] {
      if (*alive && owner->runNumber_ == number) call(*owner);
    });
  }
  WindowPost post_;
  std::shared_ptr<bool> alive_;
  EnduranceRun* owner_;
  const int number_;
  std::function<void()> ended_;
};

EnduranceRun::EnduranceRun(EnduranceView& view, EnduranceConfig config)
    : view_(view),
      config_(std::move(config)),
      post_(view.Poster()),
      alive_(std::make_shared<bool>(true)),
      safeEject_(std::make_shared<std::atomic<bool>>(false)) {
  if (!config_.listDrives) config_.listDrives = [] { return UsbTestDriveRoots(); };
  if (config_.settingsPath.empty()) config_.settingsPath = UsbTestSettingsPath();
}

// The run thread's owner asks the run to stop and lets it go (it may sit in a retry
// without limit); the switch test, too, finishes alone.
EnduranceRun::~EnduranceRun() { *alive_ = false; }

void EnduranceRun::OnOpen() {
  const UsbTestSettings saved = LoadUsbTestSettings(config_.settingsPath);
  view_.SetCopyFileField(saved.copyFile);
  if (!saved.driveRoot.empty()) {
    view_.SetDriveField(saved.driveRoot);
  } else {
    const std::vector<std::string> drives = config_.listDrives();
    if (!drives.empty()) view_.SetDriveField(drives.front());
  }
  view_.SetSwitchField(saved.switchAddress);
}

void EnduranceRun::SaveSettings() {
  const EnduranceInputs inputs = view_.Inputs();
  UsbTestSettings settings;
  settings.copyFile = inputs.copyFile;
  settings.driveRoot = inputs.driveRoot;
  settings.switchAddress = inputs.switchAddress;
  SaveUsbTestSettings(config_.settingsPath, settings);  // remembering is a convenience only
}

void EnduranceRun::OnBrowse() {
  const std::string path = view_.ChooseCopyFile();
  if (path.empty()) return;
  view_.SetCopyFileField(path);
  SaveSettings();
}

void EnduranceRun::OnSafeEjectToggled(bool on) { safeEject_->store(on); }

void EnduranceRun::OnStartOrStop() {
  // A run whose body failed before its end report leaves no thread behind: idle again.
  if (running_ && !runThread_.Active()) OnRunEnded();
  if (running_) {
    if (!view_.AskYesNo(Tr("中断当前操作吗？"), Tr("问你"))) return;
    if (!running_) return;  // the run ended while the question was up
    runThread_.RequestStop();
    view_.SetStartEnabled(false);
    return;
  }

  const EnduranceInputs inputs = view_.Inputs();
  UsbTestParams params;
  params.copyFile = inputs.copyFile;
  params.driveRoot = inputs.driveRoot;
  params.switchAddress = inputs.switchAddress;
  const std::string message = CheckUsbTestInput(params.copyFile, &params.driveRoot, params.switchAddress);
  if (params.driveRoot != inputs.driveRoot) view_.SetDriveField(params.driveRoot);  // as it will be used
  if (!message.empty()) {
    view_.ShowMessage(Tr(message.c_str()), "");
    return;
  }
  params.disconnectDelaySec = 1;
  safeEject_->store(inputs.safeEject);
  params.safeEject = safeEject_;
  if (config_.adjustParams) config_.adjustParams(params);
  SaveSettings();

  // A run whose end has reached the window is only returning from its thread.
  if (runThread_.Active()) runThread_.Wait(std::chrono::seconds(2));
  ++runNumber_;
  auto relay = std::make_shared<Relay>(post_, alive_, this, runNumber_, config_.runEnded);
  std::stop_source stop;
  running_ = true;
  const bool started = runThread_.Start([params, relay, stop] { return RunUsbTest(params, *relay, stop.get_token()); },
                                        [stop]() mutable { stop.request_stop(); });
  if (!started) {
    running_ = false;
    view_.AppendLog(Tr("无法启动测试线程！"));
  }
}

void EnduranceRun::OnRunEnded() {
  running_ = false;
  view_.SetStartEnabled(true);
}

void EnduranceRun::OnTestSwitch() {
  const std::string address = view_.Inputs().switchAddress;
  const std::string message = CheckSwitchAddress(address);
  if (!message.empty()) {
    view_.ShowMessage(Tr(message.c_str()), "");
    return;
  }
  // The exchange may take up to the switch's answer time-out; the window keeps painting
  // meanwhile and the answer comes back to the window thread.
  view_.SetTestEnabled(false);
  switchTestActive_ = true;
  if (switchThread_.Active()) switchThread_.Wait(std::chrono::seconds(2));  // only returning
  const bool started = switchThread_.Start([post = post_, alive = alive_, owner = this, address] {
    SwitchAnswer answer = AskSwitch(address, "USBON");
    post([alive, owner, answer] {
      if (*alive) owner->OnSwitchAnswered(answer);
    });
  });
  if (!started) OnSwitchAnswered(SwitchAnswer{});
}

void EnduranceRun::OnSwitchAnswered(const SwitchAnswer& answer) {
  switchTestActive_ = false;
  view_.SetTestEnabled(true);
  if (!answer.ok) {
    view_.AppendLog(Tr(kUsbMsgSwitchFailed) + (answer.failure.empty() ? "" : FormatText(Tr("（%s）"), answer.failure.c_str())));
    return;
  }
  SaveSettings();  // the switch was reached: its address is worth remembering
  // Only a reply that says so is a failure; any other, empty included, is taken as done.
  const bool refused = IsSwitchErrorReply("USBON", answer.reply);
  view_.ShowMessage(answer.reply, Tr(refused ? kUsbMsgSwitchRefused : kUsbMsgSwitchPassed));
}

void EnduranceRun::OnExportCsv() {
  if (running_ || table_.rows().empty()) {
    view_.ShowMessage(Tr(kUsbMsgNotFinished), "");
    return;
  }
  const std::string path = view_.ChooseCsvFile();
  if (path.empty()) return;
  if (!WriteUsbTestCsv(path, table_.rows())) view_.ShowMessage(Tr(kUsbMsgCannotSave), "");
}

}  // namespace sorvanta::usbtest
