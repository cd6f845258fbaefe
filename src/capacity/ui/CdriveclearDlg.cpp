#include "capacity/ui/CdriveclearDlg.h"

#include <QCheckBox>
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
#include <QSet>
#include <QVBoxLayout>
#include <ctime>

#include "platform/mount_watch.h"
#include "ui/look.h"
#include "ui/message_box.h"
#include "ui/queued_calls.h"

namespace sorvanta::ui {
namespace {

const QString kCaption = QStringLiteral("扩容U盘鉴定");
const QString kAboutEntry = QStringLiteral("关于 Sorvanta(&A)...");
const QString kStart = QStringLiteral("开始");
const QString kStop = QStringLiteral("停止");

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

// Carries the run's reports to the window thread; never waits, so the run never blocks on
// the window. Calls that arrive after the window is gone are dropped by the queue.
class CdriveclearDlg::Reporter : public CapacityReporter {
 public:
  Reporter(CdriveclearDlg* window, const QueuedCalls& calls) : window_(window), calls_(calls) {}

  void Log(const std::string& message) override {
    Post([w = window_, m = Q(message)] { w->AddLog(m); });
  }
  void Remaining(const std::string& text) override {
    Post([w = window_, t = Q(text)] { w->remaining_->setText(t); });
  }
  void Speed(const std::string& text) override {
    Post([w = window_, t = Q(text)] { w->speed_->setText(t); });
  }
  void Progress(int percent) override {
    Post([w = window_, percent] { w->progress_->setValue(percent); });
  }
  void VolumeControlsEnabled(bool enabled) override {
    Post([w = window_, enabled] { w->SetVolumeControlsEnabled(enabled); });
  }
  void StartButtonEnabled(bool enabled) override {
    Post([w = window_, enabled] { w->start_->setEnabled(enabled); });
  }
  void StartButtonText(const std::string& text) override {
    Post([w = window_, t = Q(text)] { w->start_->setText(t); });
  }

 private:
  void Post(std::function<void()> call) { calls_.Post(std::move(call), false); }
  CdriveclearDlg* window_;
  const QueuedCalls& calls_;
};

CdriveclearDlg::CdriveclearDlg(QWidget* parent, Options options)
    : QDialog(parent), options_(std::move(options)) {
  setWindowTitle(kCaption);
  setWindowIcon(MainIcon());
  setWindowFlag(Qt::WindowMinimizeButtonHint, true);
  BuildControls();

  calls_ = std::make_unique<QueuedCalls>(this);
  reporter_ = std::make_unique<Reporter>(this, *calls_);
  // The pattern generator is seeded once, when the window opens.
  check_ = std::make_unique<CapacityCheck>(static_cast<uint32_t>(std::time(nullptr)));

  log_ = Q(kCapacityHelpText);
  ShowLog();
  mode_->setChecked(true);
  ListVolumes();

  // Volumes that come or go show up without "刷新" (the watcher calls from its own thread).
  const QueuedCalls* calls = calls_.get();
  mountWatch_ = std::make_unique<platform::MountWatch>(
      [calls, this] { calls->Post([this] { OnMountTableChanged(); }, false); }, options_.mountInfoPath);
}

CdriveclearDlg::~CdriveclearDlg() {
  mountWatch_.reset();  // no more posts from the watcher
  calls_->Detach();     // the run's later reports are dropped
  check_.reset();       // stops a run still going and waits for it (it uses the reporter)
}

void CdriveclearDlg::BuildControls() {
  drives_ = new QComboBox(this);
  drives_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  drives_->setMinimumContentsLength(24);
  info_ = new QLineEdit(this);
  info_->setReadOnly(true);
  refresh_ = new QPushButton(QStringLiteral("刷新"), this);
  mode_ = new QCheckBox(QStringLiteral("磁盘容量鉴定"), this);
  start_ = new QPushButton(kStart, this);
  about_ = new QPushButton(QStringLiteral("关于"), this);
  for (QPushButton* b : {refresh_, start_, about_}) b->setAutoDefault(false);
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

  connect(drives_, &QComboBox::activated, this, [this] { ReadSelectedVolume(); });
  connect(refresh_, &QPushButton::clicked, this, &CdriveclearDlg::ListVolumes);
  connect(start_, &QPushButton::clicked, this, &CdriveclearDlg::StartOrStop);
  connect(about_, &QPushButton::clicked, this, &CdriveclearDlg::ShowAbout);

  auto* volumeRow = new QHBoxLayout;
  volumeRow->addWidget(new QLabel(QStringLiteral("选择驱动器:"), this));
  volumeRow->addWidget(drives_, 2);
  volumeRow->addWidget(info_, 1);
  volumeRow->addWidget(refresh_);

  auto* actionRow = new QHBoxLayout;
  actionRow->addWidget(mode_);
  actionRow->addStretch();
  actionRow->addWidget(start_);
  actionRow->addWidget(about_);

  auto* fields = new QGridLayout;
  const QString labels[3] = {QStringLiteral("可用容量:"), QStringLiteral("剩余数据:"), QStringLiteral("速度:")};
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

void CdriveclearDlg::ListVolumes() {
  QSet<QString> before;
  for (const VolumeChoice& c : choices_) before.insert(Q(c.root));
  const bool firstListing = choices_.empty() && drives_->count() == 0;
  const QString previous = selectedRoot_;

  choices_ = ListVolumeChoices(options_.facts);
  drives_->clear();
  for (const VolumeChoice& c : choices_) drives_->addItem(Q(VolumeChoiceText(c)), Q(c.root));

  // A removable drive that just appeared is what the user came for; otherwise the pick
  // stays, and a fresh list starts on the first volume that is not the system's.
  int select = -1;
  for (size_t i = 0; i < choices_.size() && !firstListing; ++i) {
    if (choices_[i].removable && !before.contains(Q(choices_[i].root))) {
      select = static_cast<int>(i);
      break;
    }
  }
  if (select < 0 && !previous.isEmpty()) select = drives_->findData(previous);
  if (select < 0) select = PreselectedVolume(choices_);
  drives_->setCurrentIndex(select);
  ReadSelectedVolume();
}

void CdriveclearDlg::ReadSelectedVolume() {
  QString root = drives_->currentData().toString();
  if (root.isEmpty()) {
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

bool CdriveclearDlg::ReadVolume(const QString& root) {
  std::optional<CapacityVolume> volume = ReadCapacityVolume(root.toStdString());
  if (!volume) return false;
  info_->setText(Q(VolumeInfoText(*volume)));
  free_->setText(Q(FreeSpaceText(volume->freeBytes)));
  selectedRoot_ = root;
  freeBytes_ = volume->freeBytes;
  return true;
}

void CdriveclearDlg::ClearVolumeFields() {
  info_->clear();
  free_->clear();
  selectedRoot_.clear();
  freeBytes_ = 0;
}

void CdriveclearDlg::StartOrStop() {
  if (check_->Active()) {
    start_->setEnabled(false);
    check_->Stop();
    return;
  }
  QString root = drives_->currentData().toString();
  if (root.isEmpty()) {
    ShowMessage(this, QStringLiteral("请先选择驱动器"), kCaption);
    return;
  }
  if (!ReadVolume(root)) {
    ListVolumes();
    return;
  }
  const CapacityMode mode = mode_->isChecked() ? CapacityMode::kCapacityCheck : CapacityMode::kWipe;
  if (IsSystemVolume(root.toStdString(), options_.facts) &&
      !AskYesNo(this, Q(SystemVolumeQuestion(root.toStdString(), mode)), kCaption, MessageIcon::kWarning)) {
    return;
  }
  log_.clear();
  ShowLog();
  CapacityOptions run;
  run.root = root.toStdString();
  run.freeBytes = freeBytes_;
  run.mode = mode;
  run.endPauseMs = options_.endPauseMs;
  if (!check_->Start(run, *reporter_)) return;
  // The run turns these off itself too; doing it now keeps a quick second click from
  // reading as "停止" before the run's own calls arrive.
  if (freeBytes_ > 0) {
    SetVolumeControlsEnabled(false);
    start_->setText(kStop);
  }
}

void CdriveclearDlg::SetVolumeControlsEnabled(bool enabled) {
  for (QWidget* w : {static_cast<QWidget*>(drives_), static_cast<QWidget*>(refresh_), static_cast<QWidget*>(mode_)})
    w->setEnabled(enabled);
}

void CdriveclearDlg::AddLog(const QString& message) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "[%H:%M:%S]", &local);
  log_ = QString::fromLatin1(stamp) + message + QStringLiteral("\r\n") + log_;
  ShowLog();
}

void CdriveclearDlg::ShowLog() {
  QString shown = log_;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  logView_->setPlainText(shown);
  logView_->verticalScrollBar()->setValue(0);  // the newest line is at the top
}

void CdriveclearDlg::ShowAbout() {
  if (options_.showAbout) {
    options_.showAbout(this);
  } else {
    ShowMessage(this, QStringLiteral("Sorvanta ") + ProductVersion(), QStringLiteral("关于 Sorvanta"));
  }
}

void CdriveclearDlg::OnMountTableChanged() {
  if (!check_->Active()) ListVolumes();
}

bool CdriveclearDlg::RefuseWhileRunning() {
  if (!check_->Active()) return false;
  ShowMessage(this, Q(kBusyCloseText), kCaption);
  return true;
}

void CdriveclearDlg::reject() {
  if (RefuseWhileRunning()) return;
  QDialog::reject();
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
  menu.addAction(kAboutEntry, this, &CdriveclearDlg::ShowAbout);
  menu.exec(event->globalPos());
}

QString CdriveclearDlg::LogText() const { return log_; }
QStringList CdriveclearDlg::DriveRoots() const {
  QStringList roots;
  for (int i = 0; i < drives_->count(); ++i) roots << drives_->itemData(i).toString();
  return roots;
}
QStringList CdriveclearDlg::DriveEntries() const {
  QStringList entries;
  for (int i = 0; i < drives_->count(); ++i) entries << drives_->itemText(i);
  return entries;
}
QString CdriveclearDlg::SelectedRoot() const { return drives_->currentData().toString(); }
QString CdriveclearDlg::VolumeInfo() const { return info_->text(); }
QString CdriveclearDlg::FreeSpace() const { return free_->text(); }
QString CdriveclearDlg::Remaining() const { return remaining_->text(); }
QString CdriveclearDlg::Speed() const { return speed_->text(); }
int CdriveclearDlg::ProgressValue() const { return progress_->value(); }
bool CdriveclearDlg::RunActive() const { return check_->Active(); }

}  // namespace sorvanta::ui
