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
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/language.h"
#include "ui/look.h"
#include "ui/message_box.h"
#include "ui/queued_calls.h"
#include "usbtest/usb_drives.h"

namespace sorvanta::ui {
namespace {

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

CRankListDlg::CRankListDlg(QWidget* parent, Options options)
    : QDialog(parent), options_(std::move(options)) {
  setWindowTitle(QTr("USB存储不安全弹出暴力测试"));
  setWindowIcon(MainIcon());
  setWindowFlag(Qt::WindowMinimizeButtonHint, true);
  if (!options_.listDrives) options_.listDrives = [] { return usbtest::UsbTestDriveRoots(); };
  BuildControls();
  calls_ = std::make_shared<QueuedCalls>(this);
  usbtest::EnduranceConfig config;
  config.settingsPath = options_.settingsPath;
  config.listDrives = options_.listDrives;
  config.adjustParams = options_.adjustParams;
  config.runEnded = options_.runEnded;
  usbtest::EnduranceView& view = *this;
  run_ = std::make_unique<usbtest::EnduranceRun>(view, std::move(config));
  run_->OnOpen();
}

CRankListDlg::~CRankListDlg() {
  // Events still on their way are dropped; the run logic asks the run to stop at its next
  // pass and lets it go (it may sit in a retry without limit).
  calls_->Detach();
  run_.reset();
}

void CRankListDlg::BuildControls() {
  results_ = new QTreeWidget(this);
  results_->setColumnCount(usbtest::kUsbTestColumns);
  results_->setHeaderLabels({QTr("编号"), QTr("文件"), QTr("识别U盘用时"), QTr("拷贝用时"), QTr("校验结果")});
  results_->setRootIsDecorated(false);
  results_->setSelectionBehavior(QAbstractItemView::SelectRows);
  results_->setUniformRowHeights(true);
  results_->header()->setStretchLastSection(false);
  results_->setTextElideMode(Qt::ElideMiddle);

  progress_ = new QProgressBar(this);
  progress_->setRange(0, usbtest::kUsbTestPasses);
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
  browse_ = new QPushButton(QTr("浏览"), this);

  drive_ = new DriveBox(options_.listDrives, this);
  drive_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  switch_ = new QLineEdit(this);
  switch_->setPlaceholderText(QStringLiteral("192.168.0.100:5000"));

  safeEject_ = new QCheckBox(QTr("安全弹出"), this);
  safeEject_->setChecked(false);
  start_ = new QPushButton(QTr("开始"), this);
  test_ = new QPushButton(QTr("测试"), this);
  export_ = new QPushButton(QTr("导出数据"), this);
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
  connect(safeEject_, &QCheckBox::toggled, this, [this](bool on) { run_->OnSafeEjectToggled(on); });

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(QTr("总进度："), this), 0, 0);
  grid->addWidget(progress_, 0, 1, 1, 2);
  grid->addWidget(new QLabel(QTr("U盘空间："), this), 1, 0);
  grid->addWidget(space_, 1, 1, 1, 2);
  grid->addWidget(new QLabel(QTr("拷贝文件："), this), 2, 0);
  grid->addWidget(copyFile_, 2, 1);
  grid->addWidget(browse_, 2, 2);
  grid->addWidget(new QLabel(QTr("U盘盘符："), this), 3, 0);
  grid->addWidget(drive_, 3, 1, 1, 2);
  grid->addWidget(new QLabel(QTr("树莓派IP："), this), 4, 0);
  grid->addWidget(switch_, 4, 1, 1, 2);
  grid->setColumnStretch(1, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(safeEject_);
  buttons->addStretch(1);
  buttons->addWidget(start_);
  buttons->addWidget(test_);
  buttons->addWidget(export_);

  auto* rate = new QHBoxLayout;
  rate->addWidget(new QLabel(QTr("通过率："), this));
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

// Fits the columns once to a sample row as wide as their usual content ("1000",
// "writetest999.bin", times, the longest result), never narrower than their headers; the file
// column takes what remains of the list's width.
void CRankListDlg::FitColumns() {
  QString widestResult;
  for (const char* result : {N_("通过"), N_("文件错误"), N_("文件损坏")}) {
    const QString shown = QTr(result);
    if (fontMetrics().horizontalAdvance(shown) > fontMetrics().horizontalAdvance(widestResult)) widestResult = shown;
  }
  const QStringList sample{QStringLiteral("0000"), QStringLiteral("writetest0000.bin"), QStringLiteral("000000ms"),
                           QStringLiteral("000000ms"), widestResult};
  auto* item = new QTreeWidgetItem(results_, sample);
  int others = 0;
  for (int c = 0; c < usbtest::kUsbTestColumns; ++c) {
    results_->resizeColumnToContents(c);  // the header's width counts as well
    if (c != usbtest::kColFile) others += results_->columnWidth(c);
  }
  results_->setColumnWidth(usbtest::kColFile, std::max(results_->columnWidth(usbtest::kColFile),
                                                       results_->viewport()->width() - others));
  delete item;
}

void CRankListDlg::Browse() { run_->OnBrowse(); }
void CRankListDlg::StartOrStop() { run_->OnStartOrStop(); }
void CRankListDlg::TestSwitch() { run_->OnTestSwitch(); }
void CRankListDlg::ExportCsv() { run_->OnExportCsv(); }

usbtest::EnduranceInputs CRankListDlg::Inputs() {
  usbtest::EnduranceInputs inputs;
  inputs.copyFile = FilePath(copyFile_->text());
  inputs.driveRoot = FilePath(drive_->currentText());
  inputs.switchAddress = S(switch_->text());
  inputs.safeEject = safeEject_->isChecked();
  return inputs;
}

void CRankListDlg::SetCopyFileField(const std::string& path) { SetCopyFile(QFile::decodeName(path.c_str())); }
void CRankListDlg::SetDriveField(const std::string& text) { drive_->setEditText(QFile::decodeName(text.c_str())); }
void CRankListDlg::SetSwitchField(const std::string& text) { switch_->setText(Q(text)); }

void CRankListDlg::ClearRows() { results_->clear(); }

// The file column shows the copy's name; its full path is in the tooltip (and the export).
void CRankListDlg::AddRow(const std::string& number, const std::string& path) {
  const QString fullPath = QFile::decodeName(path.c_str());
  auto* item = new QTreeWidgetItem(results_, {Q(number), QFileInfo(fullPath).fileName()});
  item->setToolTip(1, fullPath);
  results_->scrollToItem(item);
}

void CRankListDlg::SetCell(int row, int column, const std::string& text) {
  if (QTreeWidgetItem* item = results_->topLevelItem(row)) item->setText(column, Q(text));
}

void CRankListDlg::SetProgressRange(int maximum) { progress_->setRange(0, maximum); }
void CRankListDlg::SetProgress(int value) { progress_->setValue(value); }

void CRankListDlg::SetSpace(int usedPercent) {
  space_->setRange(0, 100);
  space_->setValue(usedPercent);
}

void CRankListDlg::SetPassRate(const std::string& text) { passRate_->setText(Q(text)); }
void CRankListDlg::SetLogText(const std::string& text) { log_->setPlainText(Q(text)); }

void CRankListDlg::AppendLog(const std::string& line) {
  QString text = Q(line);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  log_->appendPlainText(text);
  log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
}

void CRankListDlg::SetStartEnabled(bool enabled) { start_->setEnabled(enabled); }
void CRankListDlg::SetTestEnabled(bool enabled) { test_->setEnabled(enabled); }

void CRankListDlg::ShowMessage(const std::string& text, const std::string& caption) {
  ui::ShowMessage(this, Q(text), caption.empty() ? QString() : Q(caption));
}

bool CRankListDlg::AskYesNo(const std::string& text, const std::string& caption) {
  return ui::AskYesNo(this, Q(text), Q(caption));
}

std::string CRankListDlg::ChooseCopyFile() {
  if (options_.chooseCopyFile) return FilePath(options_.chooseCopyFile());
  // Linux file names need no dot, so the filter matches every name.
  // Qt's own dialog, not the desktop's: its buttons follow the program's language.
  return FilePath(QFileDialog::getOpenFileName(this, QString(), QFileInfo(copyFile_->text()).path(),
                                               QStringLiteral("All File(*)"), nullptr,
                                               QFileDialog::DontUseNativeDialog));
}

std::string CRankListDlg::ChooseCsvFile() {
  if (options_.chooseCsvFile) return FilePath(options_.chooseCsvFile());
  QFileDialog dialog(this, QString(), QString(), QStringLiteral("CSV File(*.csv)"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setOption(QFileDialog::DontUseNativeDialog);  // buttons in the program's language
  dialog.setDefaultSuffix(QStringLiteral("csv"));
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) return FilePath(dialog.selectedFiles().first());
  return {};
}

usbtest::WindowPost CRankListDlg::Poster() {
  return [calls = calls_](std::function<void()> task) { calls->Post(std::move(task), false); };
}

std::vector<QStringList> CRankListDlg::Rows() const {
  std::vector<QStringList> rows;
  for (int r = 0; r < results_->topLevelItemCount(); ++r) {
    QStringList cells;
    for (int c = 0; c < usbtest::kUsbTestColumns; ++c) cells << results_->topLevelItem(r)->text(c);
    rows.push_back(cells);
  }
  return rows;
}

QString CRankListDlg::FileToolTip(int row) const {
  const QTreeWidgetItem* item = results_->topLevelItem(row);
  return item ? item->toolTip(usbtest::kColFile) : QString();
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
  for (int c = 0; c < usbtest::kUsbTestColumns; ++c) widths << results_->columnWidth(c);
  return widths;
}

void CRankListDlg::SetCopyFile(const QString& path) {
  copyFile_->setText(path);
  copyFile_->setToolTip(path);
}
void CRankListDlg::SetDriveText(const QString& text) { drive_->setEditText(text); }
void CRankListDlg::SetSwitchText(const QString& text) { switch_->setText(text); }

}  // namespace sorvanta::ui
