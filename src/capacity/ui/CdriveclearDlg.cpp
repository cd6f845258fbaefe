#include "capacity/ui/CdriveclearDlg.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFileInfo>
#include <QProcess>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include <unistd.h>

#include "base/json_input.h"
#include "base/language.h"
#include "capacity/disk_probe.h"
#include "platform/mount_watch.h"
#include "platform/paths.h"
#include "ui/language.h"
#include "ui/look.h"
#include "ui/message_box.h"
#include "ui/queued_calls.h"

namespace sorvanta::ui {
namespace {

QString Caption() { return QTr("扩容U盘鉴定"); }

QString Q(const std::string& text) { return QString::fromStdString(text); }

// pkexec and the helper: the one beside this program in a build tree, else the installed one.
std::vector<std::string> DefaultProbeCommand() {
  std::string helper = sorvanta::platform::JoinPath(sorvanta::platform::ProgramFolder(), "sorvanta-probe-helper");
  if (!QFileInfo(Q(helper)).isExecutable()) helper = "/usr/libexec/sorvanta/sorvanta-probe-helper";
  // pkexec clears the environment: the helper is told the window's language.
  const std::string language = sorvanta::CurrentLanguage() == sorvanta::Language::kChinese ? "zh" : "en";
  if (geteuid() == 0) return {helper, "--lang", language};
  return {"pkexec", helper, "--lang", language};
}

}  // namespace

CdriveclearDlg::CdriveclearDlg(QWidget* parent, Options options)
    : QDialog(parent), options_(std::move(options)) {
  if (!options_.removableDiskOf) {
    options_.removableDiskOf = [roots = options_.facts.block](const std::string& root) {
      return capacity::RemovableDiskOfVolume(root, roots);
    };
  }
  if (options_.probeCommand.empty()) options_.probeCommand = DefaultProbeCommand();
  setWindowTitle(Caption());
  setWindowIcon(MainIcon());
  setWindowFlag(Qt::WindowMinimizeButtonHint, true);
  BuildControls();

  calls_ = std::make_shared<QueuedCalls>(this);
  capacity::CapacityCheckConfig config;
  config.facts = options_.facts;
  config.endPauseMs = options_.endPauseMs;
  capacity::CapacityCheckView& view = *this;
  run_ = std::make_unique<capacity::CapacityCheckRun>(view, std::move(config));
  run_->OnOpen();

  // Volumes that come or go show up without "刷新" (the watcher calls from its own thread).
  mountWatch_ = std::make_unique<platform::MountWatch>(
      [calls = calls_, this] { calls->Post([this] { OnMountTableChanged(); }, false); }, options_.mountInfoPath);
}

CdriveclearDlg::~CdriveclearDlg() {
  if (probe_) {
    // The helper sees its input end, stops and writes everything back on its own.
    probe_->disconnect(this);
    probe_->closeWriteChannel();
    probe_->waitForFinished(-1);
  }
  mountWatch_.reset();  // no more posts from the watcher
  calls_->Detach();     // the run's later events are dropped
  run_.reset();         // stops a run still going and waits for it
}

void CdriveclearDlg::BuildControls() {
  drives_ = new QComboBox(this);
  drives_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  drives_->setMinimumContentsLength(24);
  info_ = new QLineEdit(this);
  info_->setReadOnly(true);
  refresh_ = new QPushButton(QTr("刷新"), this);
  mode_ = new QCheckBox(QTr("磁盘容量鉴定"), this);
  start_ = new QPushButton(QTr("开始"), this);
  about_ = new QPushButton(QTr("关于"), this);
  quick_ = new QPushButton(QTr("快速鉴定"), this);
  quick_->setToolTip(QTr("只写入少量扇区，约一分钟估出扩容盘的真实容量（仅限可移动磁盘）"));
  for (QPushButton* b : {refresh_, start_, about_, quick_}) b->setAutoDefault(false);
  start_->setMinimumWidth(start_->sizeHint().width() * 3 / 2);

  free_ = new QLineEdit(this);
  remaining_ = new QLineEdit(this);
  speed_ = new QLineEdit(this);
  for (QLineEdit* e : {free_, remaining_, speed_}) {
    e->setReadOnly(true);
    e->setAlignment(Qt::AlignRight);
  }
  progress_ = new QProgressBar(this);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  logView_ = new QPlainTextEdit(this);
  logView_->setReadOnly(true);
  logView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  connect(drives_, &QComboBox::activated, this, [this] {
    run_->OnSelectVolume();
    UpdateQuickProbe();
  });
  connect(quick_, &QPushButton::clicked, this, &CdriveclearDlg::QuickProbe);
  connect(refresh_, &QPushButton::clicked, this, &CdriveclearDlg::ListVolumes);
  connect(start_, &QPushButton::clicked, this, &CdriveclearDlg::StartOrStop);
  connect(about_, &QPushButton::clicked, this, &CdriveclearDlg::ShowAbout);

  auto* volumeRow = new QHBoxLayout;
  volumeRow->addWidget(new QLabel(QTr("选择驱动器:"), this));
  volumeRow->addWidget(drives_, 2);
  volumeRow->addWidget(info_, 1);
  volumeRow->addWidget(refresh_);

  auto* actionRow = new QHBoxLayout;
  actionRow->addWidget(mode_);
  actionRow->addStretch();
  actionRow->addWidget(quick_);
  actionRow->addWidget(start_);
  actionRow->addWidget(about_);

  auto* fields = new QGridLayout;
  const QString labels[3] = {QTr("可用容量:"), QTr("剩余数据:"), QTr("速度:")};
  QLineEdit* edits[3] = {free_, remaining_, speed_};
  for (int i = 0; i < 3; ++i) {
    fields->addWidget(new QLabel(labels[i], this), 0, 2 * i);
    fields->addWidget(edits[i], 0, 2 * i + 1);
    fields->setColumnStretch(2 * i + 1, 1);
  }

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(volumeRow);
  layout->addLayout(actionRow);
  layout->addLayout(fields);
  layout->addWidget(progress_);
  layout->addWidget(logView_, 1);
  ResizeWithinScreen(this, QSize(640, 480));
}

void CdriveclearDlg::ListVolumes() { run_->OnRefresh(); }

void CdriveclearDlg::StartOrStop() { run_->OnStartOrStop(); }

void CdriveclearDlg::SetVolumeLines(const std::vector<std::string>& lines, int selected) {
  drives_->clear();
  for (const std::string& line : lines) drives_->addItem(Q(line));
  drives_->setCurrentIndex(selected);
  UpdateQuickProbe();
}

int CdriveclearDlg::SelectedVolume() { return drives_->currentIndex(); }

void CdriveclearDlg::SetVolumeFields(const std::string& info, const std::string& freeSpace) {
  info_->setText(Q(info));
  free_->setText(Q(freeSpace));
}

capacity::CapacityMode CdriveclearDlg::Mode() {
  return mode_->isChecked() ? capacity::CapacityMode::kCapacityCheck : capacity::CapacityMode::kWipe;
}

void CdriveclearDlg::SetMode(capacity::CapacityMode mode) {
  mode_->setChecked(mode == capacity::CapacityMode::kCapacityCheck);
}

void CdriveclearDlg::SetVolumeControlsEnabled(bool enabled) {
  controlsEnabled_ = enabled;
  UpdateQuickProbe();
  for (QWidget* w : {static_cast<QWidget*>(drives_), static_cast<QWidget*>(refresh_), static_cast<QWidget*>(mode_)})
    w->setEnabled(enabled);
}

void CdriveclearDlg::SetStartEnabled(bool enabled) { start_->setEnabled(enabled); }
void CdriveclearDlg::SetStartText(const std::string& text) { start_->setText(Q(text)); }

void CdriveclearDlg::SetLogText(const std::string& text) {
  QString shown = probeLog_ + Q(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  logView_->setPlainText(shown);
  logView_->verticalScrollBar()->setValue(0);  // the newest line is at the top
}

void CdriveclearDlg::SetRemaining(const std::string& text) { remaining_->setText(Q(text)); }
void CdriveclearDlg::SetSpeed(const std::string& text) { speed_->setText(Q(text)); }
void CdriveclearDlg::SetProgress(int percent) { progress_->setValue(percent); }

void CdriveclearDlg::ShowMessage(const std::string& text) { ui::ShowMessage(this, Q(text), Caption()); }

bool CdriveclearDlg::AskYesNo(const std::string& text, bool defaultNo) {
  return ui::AskYesNo(this, Q(text), Caption(), MessageIcon::kWarning, defaultNo);
}

capacity::WindowPost CdriveclearDlg::Poster() {
  return [calls = calls_](std::function<void()> task) { calls->Post(std::move(task), false); };
}

void CdriveclearDlg::ShowAbout() {
  if (options_.showAbout) {
    options_.showAbout(this);
  } else {
    ui::ShowMessage(this, QStringLiteral("Sorvanta ") + ProductVersion(), QTr("关于 Sorvanta"));
  }
}

void CdriveclearDlg::OnMountTableChanged() { run_->OnMountTableChanged(); }

void CdriveclearDlg::reject() {
  if (probe_) {
    ShowMessage(Tr(capacity::kBusyCloseText));
    return;
  }
  if (run_->OnCloseRequest()) QDialog::reject();
}

// Offered while idle for a volume on a removable drive; while it runs the button stops it.
void CdriveclearDlg::UpdateQuickProbe() {
  if (probe_) {
    quick_->setEnabled(true);
    return;
  }
  if (!run_) {  // the run logic is still being made
    quick_->setEnabled(false);
    return;
  }
  const std::string root = run_->SelectedRoot();
  quick_->setEnabled(controlsEnabled_ && !run_->Active() && !root.empty() && !options_.removableDiskOf(root).empty());
}

void CdriveclearDlg::QuickProbe() {
  if (probe_) {
    probe_->write("stop\n");
    quick_->setEnabled(false);
    return;
  }
  const std::string root = run_->SelectedRoot();
  const std::string device = root.empty() ? std::string() : options_.removableDiskOf(root);
  if (device.empty()) {
    ShowMessage(Tr("所选的卷不在可移动磁盘上；快速鉴定只用于整个可移动磁盘。"));
    return;
  }
  if (!AskYesNo(capacity::QuickProbeQuestion(device), true)) return;

  probe_ = new QProcess(this);
  probeErr_.clear();
  QStringList args;
  for (size_t i = 1; i < options_.probeCommand.size(); ++i) args << Q(options_.probeCommand[i]);
  args << QStringLiteral("--unmount") << Q(device);
  connect(probe_, &QProcess::readyReadStandardError, this, &CdriveclearDlg::ProbeOutput);
  connect(probe_, &QProcess::finished, this, &CdriveclearDlg::ProbeFinished);
  connect(probe_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) ProbeFinished();
  });
  for (QWidget* w : {static_cast<QWidget*>(drives_), static_cast<QWidget*>(refresh_), static_cast<QWidget*>(mode_),
                     static_cast<QWidget*>(start_)})
    w->setEnabled(false);
  quick_->setText(QTr("停止快速鉴定"));
  progress_->setValue(0);
  AddProbeLine(QTr("快速鉴定 %1").arg(Q(device)));
  probe_->start(Q(options_.probeCommand[0]), args);
}

void CdriveclearDlg::AddProbeLine(const QString& line) {
  probeLog_.prepend(QDateTime::currentDateTime().toString(QStringLiteral("[HH:mm:ss]")) + line +
                    QStringLiteral("\r\n"));
  SetLogText(run_->LogText());
}

void CdriveclearDlg::ProbeOutput() {
  probeErr_ += QString::fromUtf8(probe_->readAllStandardError());
  for (int end; (end = probeErr_.indexOf(QLatin1Char('\n'))) >= 0;) {
    const QString line = probeErr_.left(end);
    probeErr_.remove(0, end + 1);
    if (line.startsWith(QStringLiteral("log\t"))) AddProbeLine(line.mid(4));
    if (line.startsWith(QStringLiteral("progress\t"))) progress_->setValue(line.mid(9).toInt());
  }
}

void CdriveclearDlg::ProbeFinished() {
  if (!probe_) return;
  ProbeOutput();
  // The helper's JSON keeps its texts in Chinese; the verdict and the probe's own reasons are
  // shown in the window's language.
  Json::Value result;
  if (!ParseJsonInput(probe_->readAllStandardOutput().toStdString(), &result) || !result.isObject()) result = Json::Value();
  probe_->deleteLater();
  probe_ = nullptr;
  quick_->setText(QTr("快速鉴定"));
  const QString error = Q(capacity::ShownProbeError(result.get("error", "").asString()));
  const QString verdict = Q(capacity::ProbeVerdictLine(result));
  if (verdict.isEmpty()) {
    const QString why = error.isEmpty() ? QTr("快速鉴定没有完成（未取得管理员权限，或辅助程序无法运行）") : error;
    AddProbeLine(why);
    ShowMessage(why.toStdString());
  } else {
    ShowMessage(verdict.toStdString());
  }
  run_->OnRefresh();  // the drive was unmounted
  for (QWidget* w : {static_cast<QWidget*>(drives_), static_cast<QWidget*>(refresh_), static_cast<QWidget*>(mode_),
                     static_cast<QWidget*>(start_)})
    w->setEnabled(controlsEnabled_);
  UpdateQuickProbe();
}

void CdriveclearDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    reject();  // Enter ends the window like the close box, and is refused the same way
    return;
  }
  QDialog::keyPressEvent(event);  // Esc reaches reject()
}

void CdriveclearDlg::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction(QTr("关于 Sorvanta(&A)..."), this, &CdriveclearDlg::ShowAbout);
  menu.exec(event->globalPos());
}

QString CdriveclearDlg::LogText() const { return probeLog_ + Q(run_->LogText()); }
QStringList CdriveclearDlg::DriveRoots() const {
  QStringList roots;
  for (const capacity::VolumeChoice& c : run_->Choices()) roots << Q(c.root);
  return roots;
}
QStringList CdriveclearDlg::DriveEntries() const {
  QStringList entries;
  for (int i = 0; i < drives_->count(); ++i) entries << drives_->itemText(i);
  return entries;
}
QString CdriveclearDlg::SelectedRoot() const { return Q(run_->SelectedRoot()); }
QString CdriveclearDlg::VolumeInfo() const { return info_->text(); }
QString CdriveclearDlg::FreeSpace() const { return free_->text(); }
QString CdriveclearDlg::Remaining() const { return remaining_->text(); }
QString CdriveclearDlg::Speed() const { return speed_->text(); }
int CdriveclearDlg::ProgressValue() const { return progress_->value(); }
bool CdriveclearDlg::RunActive() const { return run_->Active(); }

}  // namespace sorvanta::ui
