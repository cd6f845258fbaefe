#include "usbtest/ui/CRankListDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/look.h"
#include "ui/message_box.h"
#include "ui/queued_calls.h"
#include "usbtest/switch_link.h"
#include "usbtest/usb_drives.h"
#include "usbtest/endurance_csv.h"
#include "usbtest/endurance_settings.h"

namespace sorvanta::ui {
namespace {

const QString kCaption = QStringLiteral("USB存储不安全弹出暴力测试");

QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string S(const QString& text) { return text.toStdString(); }

// Paths go to the file system in its own encoding.
std::string FilePath(const QString& path) { return QFile::encodeName(path).toStdString(); }

// The drive field: editable, and its list is read afresh each time it opens, so a drive
// plugged in after the window opened is offered too.
class DriveBox : public QComboBox {
 public:
  DriveBox(std::function<std::vector<std::string>()> list, QWidget* parent)
      : QComboBox(parent), list_(std::move(list)) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    Refresh();
  }

  void Refresh() {
    const QString text = currentText();
    clear();
    for (const std::string& root : list_()) addItem(Q(root));
    setEditText(text);
  }

  void showPopup() override {
    Refresh();
    QComboBox::showPopup();
  }

 private:
  std::function<std::vector<std::string>()> list_;
};

}  // namespace

// Carries the run's reports to the window thread. The run holds it through a shared_ptr;
// after Detach (a new run, or the window's destructor) every report is dropped.
class CRankListDlg::Sink : public UsbTestSink {
 public:
  Sink(CRankListDlg* window, std::function<void()> runEnded)
      : calls_(window), window_(window), runEnded_(std::move(runEnded)) {}

  void Detach() { calls_.Detach(); }

  void RunStarted(int passes) override {
    Post([w = window_, passes] { w->OnRunStarted(passes); });
  }
  void RowAdded(int row, const std::string& number, const std::string& path) override {
    Post([w = window_, row, number = Q(number), path = Q(path)] { w->OnRowAdded(row, number, path); });
  }
  void CellSet(int row, int column, const std::string& text) override {
    Post([w = window_, row, column, text = Q(text)] { w->OnCellSet(row, column, text); });
  }
  void Progress(int passIndex) override {
    Post([w = window_, passIndex] { w->progress_->setValue(passIndex); });
  }
  void Space(int usedPercent) override {
    Post([w = window_, usedPercent] {
      w->space_->setRange(0, 100);
      w->space_->setValue(usedPercent);
    });
  }
  void PassRate(const std::string& text) override {
    Post([w = window_, text = Q(text)] { w->passRate_->setText(text); });
  }
  void Log(const std::string& line) override {
    Post([w = window_, line = Q(line)] { w->AppendLog(line); });
  }
  void RunEnded() override {
    Post([w = window_] { w->OnRunEnded(); });
    if (runEnded_) runEnded_();
  }

 private:
  // The window pointer is only followed on the window thread while the window exists.
  void Post(std::function<void()> call) { calls_.Post(std::move(call), false); }

  QueuedCalls calls_;
  CRankListDlg* window_;
  std::function<void()> runEnded_;
};

CRankListDlg::CRankListDlg(QWidget* parent, Options options)
    : QDialog(parent), options_(std::move(options)) {
  setWindowTitle(kCaption);
  setWindowIcon(MainIcon());
  setWindowFlag(Qt::WindowMinimizeButtonHint, true);
  if (!options_.listDrives) options_.listDrives = [] { return UsbTestDriveRoots(); };
  if (options_.settingsPath.empty()) options_.settingsPath = UsbTestSettingsPath();
  BuildControls();
  sink_ = std::make_shared<Sink>(this, options_.runEnded);
  runner_ = std::make_unique<UsbTestRunner>();
  LoadSettings();
}

CRankListDlg::~CRankListDlg() {
  // Reports still on their way are dropped; the runner's destructor asks the run to stop
  // at its next pass and lets it go (it may sit in a retry without limit).
  sink_->Detach();
  runner_.reset();
}

void CRankListDlg::BuildControls() {
  results_ = new QTreeWidget(this);
  results_->setColumnCount(kUsbTestColumns);
  results_->setHeaderLabels({QStringLiteral("编号"), QStringLiteral("文件"), QStringLiteral("识别U盘用时"),
                             QStringLiteral("拷贝用时"), QStringLiteral("校验结果")});
  results_->setRootIsDecorated(false);
  results_->setSelectionBehavior(QAbstractItemView::SelectRows);
  results_->setUniformRowHeights(true);
  results_->header()->setStretchLastSection(false);
  results_->setTextElideMode(Qt::ElideMiddle);

  progress_ = new QProgressBar(this);
  progress_->setRange(0, kUsbTestPasses);
  progress_->setValue(0);
  progress_->setFormat(QStringLiteral("%v/%m"));
  space_ = new QProgressBar(this);
  space_->setRange(0, 100);
  space_->setValue(0);

  copyFile_ = new QLabel(this);
  copyFile_->setFrameShape(QFrame::StyledPanel);
  copyFile_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  copyFile_->setMinimumWidth(copyFile_->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 30);
  copyFile_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  browse_ = new QPushButton(QStringLiteral("浏览"), this);

  drive_ = new DriveBox(options_.listDrives, this);
  drive_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  switch_ = new QLineEdit(this);
  switch_->setPlaceholderText(QStringLiteral("192.168.0.100:5000"));

  safeEject_ = new QCheckBox(QStringLiteral("安全弹出"), this);
  safeEject_->setChecked(false);
  start_ = new QPushButton(QStringLiteral("开始"), this);
  test_ = new QPushButton(QStringLiteral("测试"), this);
  export_ = new QPushButton(QStringLiteral("导出数据"), this);
  passRate_ = new QLabel(QStringLiteral("-/-"), this);
  passRate_->setMinimumWidth(passRate_->fontMetrics().horizontalAdvance(QStringLiteral("1000/1000 100%")));
  for (QPushButton* b : {browse_, start_, test_, export_}) b->setAutoDefault(false);

  log_ = new QPlainTextEdit(this);
  log_->setReadOnly(true);
  log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  connect(browse_, &QPushButton::clicked, this, &CRankListDlg::Browse);
  connect(start_, &QPushButton::clicked, this, &CRankListDlg::StartOrStop);
  connect(test_, &QPushButton::clicked, this, &CRankListDlg::TestSwitch);
  connect(export_, &QPushButton::clicked, this, &CRankListDlg::ExportCsv);
  // The box may change during a run; the run reads it at each pass's eject step.
  connect(safeEject_, &QCheckBox::toggled, this, [this](bool on) { runner_->SetSafeEject(on); });

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(QStringLiteral("总进度："), this), 0, 0);
  grid->addWidget(progress_, 0, 1, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("U盘空间："), this), 1, 0);
  grid->addWidget(space_, 1, 1, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("拷贝文件："), this), 2, 0);
  grid->addWidget(copyFile_, 2, 1);
  grid->addWidget(browse_, 2, 2);
  grid->addWidget(new QLabel(QStringLiteral("U盘盘符："), this), 3, 0);
  grid->addWidget(drive_, 3, 1, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("树莓派IP："), this), 4, 0);
  grid->addWidget(switch_, 4, 1, 1, 2);
  grid->setColumnStretch(1, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(safeEject_);
  buttons->addStretch(1);
  buttons->addWidget(start_);
  buttons->addWidget(test_);
  buttons->addWidget(export_);

  auto* rate = new QHBoxLayout;
  rate->addWidget(new QLabel(QStringLiteral("通过率："), this));
  rate->addWidget(passRate_, 1);

  auto* controls = new QVBoxLayout;
  controls->addLayout(grid);
  controls->addLayout(buttons);
  controls->addLayout(rate);
  controls->addStretch(1);

  auto* lower = new QHBoxLayout;
  lower->addLayout(controls, 1);
  lower->addWidget(log_, 1);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(results_, 3);
  layout->addLayout(lower, 2);
  ResizeWithinScreen(this, QSize(860, 600));
}

void CRankListDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!columnsFitted_) {
    columnsFitted_ = true;
    FitColumns();
  }
}

// Fits the columns once to a row of dashes: columns 1 to 4 to the wider of that row and
// their header, column 0 to what remains of the list's width.
void CRankListDlg::FitColumns() {
  const int dashes[kUsbTestColumns] = {4, 20, 10, 10, 4};
  auto* sample = new QTreeWidgetItem(results_);
  for (int c = 0; c < kUsbTestColumns; ++c) sample->setText(c, QString(dashes[c], QLatin1Char('-')));
  // Fitting to the contents takes the header's width into account as well.
  int used = 0;
  for (int c = 1; c < kUsbTestColumns; ++c) {
    results_->resizeColumnToContents(c);
    used += results_->columnWidth(c);
  }
  results_->resizeColumnToContents(0);
  results_->setColumnWidth(0, std::max(results_->columnWidth(0), results_->viewport()->width() - used));
  delete sample;
}

void CRankListDlg::LoadSettings() {
  const UsbTestSettings saved = LoadUsbTestSettings(options_.settingsPath);
  copyFile_->setText(Q(saved.copyFile));
  copyFile_->setToolTip(copyFile_->text());
  if (!saved.driveRoot.empty()) {
    drive_->setEditText(Q(saved.driveRoot));
  } else if (drive_->count() > 0) {
    drive_->setCurrentIndex(0);
  }
  switch_->setText(Q(saved.switchAddress));
}

void CRankListDlg::SaveSettings() const {
  UsbTestSettings settings;
  settings.copyFile = S(copyFile_->text());
  settings.driveRoot = S(drive_->currentText());
  settings.switchAddress = S(switch_->text());
  SaveUsbTestSettings(options_.settingsPath, settings);  // remembering is a convenience only
}

void CRankListDlg::AppendLog(const QString& line) {
  QString text = line;
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  log_->appendPlainText(text);
  log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
}

void CRankListDlg::Browse() {
  QString path;
  if (options_.chooseCopyFile) {
    path = options_.chooseCopyFile();
  } else {
    // Linux file names need no dot, so the filter matches every name.
    path = QFileDialog::getOpenFileName(this, QString(), QFileInfo(copyFile_->text()).path(),
                                        QStringLiteral("All File(*)"));
  }
  if (path.isEmpty()) return;
  SetCopyFile(path);
  SaveSettings();
}

void CRankListDlg::StartOrStop() {
  // A run whose body failed before its end report leaves no thread behind: idle again.
  if (running_ && !runner_->Active()) OnRunEnded();
  if (running_) {
    if (!AskYesNo(this, QStringLiteral("中断当前操作吗？"), QStringLiteral("问你"))) return;
    if (!running_) return;  // the run ended while the question was up
    runner_->RequestStop();
    start_->setEnabled(false);
    return;
  }

  UsbTestParams params;
  params.copyFile = FilePath(copyFile_->text());
  params.driveRoot = FilePath(drive_->currentText());
  params.switchAddress = S(switch_->text());
  const std::string typed = params.driveRoot;
  const std::string message = CheckUsbTestInput(params.copyFile, &params.driveRoot, params.switchAddress);
  if (params.driveRoot != typed) drive_->setEditText(QFile::decodeName(params.driveRoot.c_str()));
  if (!message.empty()) {
    ShowMessage(this, Q(message));
    return;
  }
  params.disconnectDelaySec = 1;
  if (options_.adjustParams) options_.adjustParams(params);
  SaveSettings();

  // A run whose end has reached the window is only returning from its thread.
  if (runner_->Active()) runner_->Wait(2000);
  // Each run reports through its own sink, so nothing late from an earlier run can reach
  // the window once a new one has begun.
  sink_->Detach();
  sink_ = std::make_shared<Sink>(this, options_.runEnded);
  running_ = true;
  if (!runner_->Start(params, sink_, safeEject_->isChecked())) {
    running_ = false;
    AppendLog(QStringLiteral("无法启动测试线程！"));
  }
}

void CRankListDlg::TestSwitch() {
  const std::string address = S(switch_->text());
  const std::string message = CheckSwitchAddress(address);
  if (!message.empty()) {
    ShowMessage(this, Q(message));
    return;
  }
  // The exchange may take up to the switch's answer time-out; the window keeps painting
  // meanwhile and the answer comes back to this thread when the helper finishes.
  test_->setEnabled(false);
  ++switchTests_;
  auto reply = std::make_shared<std::string>();
  auto ok = std::make_shared<bool>(false);
  QThread* helper = QThread::create([address, reply, ok] { *ok = SendSwitchCommand(address, "USBON", reply.get()); });
  connect(helper, &QThread::finished, helper, &QObject::deleteLater);
  connect(helper, &QThread::finished, this, [this, reply, ok] {
    --switchTests_;
    test_->setEnabled(true);
    if (!*ok) {
      AppendLog(QStringLiteral("树莓派通讯错误！试验终止！"));
      return;
    }
    SaveSettings();
    ShowMessage(this, Q(*reply), QStringLiteral("测试通过！"));
  });
  helper->start();
}

void CRankListDlg::ExportCsv() {
  if (running_ || results_->topLevelItemCount() == 0) {
    ShowMessage(this, QStringLiteral("尚未完成试验！"));
    return;
  }
  QString path;
  if (options_.chooseCsvFile) {
    path = options_.chooseCsvFile();
  } else {
    QFileDialog dialog(this, QString(), QString(), QStringLiteral("CSV File(*.csv)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) path = dialog.selectedFiles().first();
  }
  if (path.isEmpty()) return;
  std::vector<UsbTestRow> rows;
  for (const QStringList& shown : Rows()) {
    UsbTestRow row;
    for (int c = 0; c < kUsbTestColumns; ++c) row[static_cast<size_t>(c)] = S(shown.value(c));
    rows.push_back(std::move(row));
  }
  if (!WriteUsbTestCsv(FilePath(path), rows)) ShowMessage(this, QStringLiteral("无法保存！"));
}

void CRankListDlg::OnRunStarted(int passes) {
  results_->clear();
  log_->setPlainText(QStringLiteral("日志："));
  progress_->setRange(0, passes);
  progress_->setValue(0);
}

void CRankListDlg::OnRowAdded(int row, const QString& number, const QString& path) {
  if (row != results_->topLevelItemCount()) return;  // rows come in order, one per pass
  auto* item = new QTreeWidgetItem(results_, {number, path});
  item->setToolTip(1, path);
  results_->scrollToItem(item);
}

void CRankListDlg::OnCellSet(int row, int column, const QString& text) {
  if (QTreeWidgetItem* item = results_->topLevelItem(row)) item->setText(column, text);
}

void CRankListDlg::OnRunEnded() {
  running_ = false;
  start_->setEnabled(true);
}

std::vector<QStringList> CRankListDlg::Rows() const {
  std::vector<QStringList> rows;
  for (int r = 0; r < results_->topLevelItemCount(); ++r) {
    QStringList cells;
    for (int c = 0; c < kUsbTestColumns; ++c) cells << results_->topLevelItem(r)->text(c);
    rows.push_back(cells);
  }
  return rows;
}

QString CRankListDlg::LogText() const { return log_->toPlainText(); }
QString CRankListDlg::PassRateText() const { return passRate_->text(); }
QString CRankListDlg::CopyFileText() const { return copyFile_->text(); }
QString CRankListDlg::DriveText() const { return drive_->currentText(); }
QString CRankListDlg::SwitchText() const { return switch_->text(); }
int CRankListDlg::ProgressValue() const { return progress_->value(); }
int CRankListDlg::ProgressMaximum() const { return progress_->maximum(); }
int CRankListDlg::SpaceValue() const { return space_->value(); }

QStringList CRankListDlg::OfferedDrives() const {
  QStringList drives;
  for (int i = 0; i < drive_->count(); ++i) drives << drive_->itemText(i);
  return drives;
}

QList<int> CRankListDlg::ColumnWidths() const {
  QList<int> widths;
  for (int c = 0; c < kUsbTestColumns; ++c) widths << results_->columnWidth(c);
  return widths;
}

void CRankListDlg::SetCopyFile(const QString& path) {
  copyFile_->setText(path);
  copyFile_->setToolTip(path);
}
void CRankListDlg::SetDriveText(const QString& text) { drive_->setEditText(text); }
void CRankListDlg::SetSwitchText(const QString& text) { switch_->setText(text); }

}  // namespace sorvanta::ui
