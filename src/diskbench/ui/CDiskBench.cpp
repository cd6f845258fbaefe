#include "diskbench/ui/CDiskBench.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>

#include "chart/chart_ctrl.h"
#include "ui/language.h"
#include "ui/look.h"
#include "ui/message_box.h"
#include "ui/queued_calls.h"
#include "diskbench/disk_results.h"
#include "diskbench/ui/disk_window_events.h"

namespace sorvanta::ui {
namespace {

using diskbench::DiskBenchRun;
using diskbench::DiskMessageIcon;
using diskbench::DiskOption;
using diskbench::DiskRunConfig;
using diskbench::DiskRunOptions;

QString Q(const std::string& text) { return QString::fromStdString(text); }

// A column heading wider than width goes on two lines, broken at the blank nearest its
// middle (English headings are long; Chinese ones have no blank and stay as they are).
QString FitHeading(const QString& heading, const QFontMetrics& metrics, int width) {
  if (metrics.horizontalAdvance(heading) <= width) return heading;
  int best = -1;
  for (int i = 0; i < heading.size(); ++i)
    if (heading[i] == QLatin1Char(' ') && (best < 0 || std::abs(i - heading.size() / 2) < std::abs(best - heading.size() / 2)))
      best = i;
  if (best < 0) return heading;
  QString wrapped = heading;
  wrapped[best] = QLatin1Char('\n');
  return wrapped;
}


MessageIcon ToMessageIcon(DiskMessageIcon icon) {
  switch (icon) {
    case DiskMessageIcon::kInformation:
      return MessageIcon::kInformation;
    case DiskMessageIcon::kWarning:
      return MessageIcon::kWarning;
    case DiskMessageIcon::kError:
      return MessageIcon::kError;
    case DiskMessageIcon::kNone:
      break;
  }
  return MessageIcon::kNone;
}

}  // namespace

CDiskBench::CDiskBench(QWidget* parent, DiskRunConfig config) : QDialog(parent) {
  setWindowTitle(QTr("硬盘跑分"));
  setWindowIcon(MainIcon());
  setWindowFlag(Qt::WindowMinimizeButtonHint, true);
  setWindowFlag(Qt::WindowMaximizeButtonHint, true);
  BuildControls();

  calls_ = std::make_unique<QueuedCalls>(this);
  run_ = std::make_unique<DiskBenchRun>(static_cast<diskbench::DiskRunView&>(*this), std::move(config));
  opened_ = run_->OnOpen();
  if (!opened_) return;  // exec() closes at once

  // The engine's events of this window's runs come here.
  events_ = std::make_unique<DiskWindowEvents>(this, *run_);
  run_->SetEvents(events_.get());
}

CDiskBench::~CDiskBench() {
  // From here on no engine call reaches this window and no engine thread waits for it, so
  // waiting for a run still going cannot deadlock.
  if (events_) events_->Detach();
  calls_->Detach();
  run_.reset();  // stops a run still going, waits for its thread, closes the identification
}

int CDiskBench::exec() {
  if (!opened_) {
    setResult(QDialog::Rejected);
    return QDialog::Rejected;
  }
  return QDialog::exec();
}

void CDiskBench::BuildControls() {
  BuildChart();

  auto* yCaption = new QLabel(QTr("速度(MB/s)"), this);
  auto* xCaption = new QLabel(QTr("位置(GB)"), this);

  info_ = new QLabel(QStringLiteral("Static"), this);
  info_->setWordWrap(false);
  info_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);  // long text never widens the window
  auto* infoRow = new QHBoxLayout;
  infoRow->addWidget(new QLabel(QTr("运行信息："), this));
  infoRow->addWidget(info_, 1);
  infoRow->addWidget(xCaption);  // right under the chart's bottom-right corner

  BuildResultList();

  log_ = new QPlainTextEdit(this);
  log_->setReadOnly(true);
  log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* logColumn = new QVBoxLayout;
  logColumn->addWidget(new QLabel(QTr("日志："), this));
  logColumn->addWidget(log_, 1);

  drives_ = new QComboBox(this);
  drives_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  drives_->setMinimumContentsLength(18);
  drives_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  refresh_ = new QPushButton(QTr("刷新"), this);
  // How much each row writes; "整盘" is the whole-disk run with laps.
  sizes_ = new QComboBox(this);
  for (int gib : diskbench::kDiskSizeChoicesGiB)
    sizes_->addItem(QStringLiteral("%1 GB").arg(gib), QVariant::fromValue<qulonglong>(static_cast<qulonglong>(gib) << 30));
  sizes_->addItem(QTr("整盘"), QVariant::fromValue<qulonglong>(0));
  sizes_->setToolTip(QTr("每次测试写入的数据量"));
  const QString boxTexts[5] = {QTr("全盘稳定性跑"), QTr("预占50%测速"), QTr("预占90%测速"), QTr("跑分前TRIM"),
                               QTr("启用系统缓存")};
  for (int i = 0; i < 5; ++i) options_[i] = new QCheckBox(boxTexts[i], this);
  laps_ = new QLineEdit(this);
  laps_->setValidator(new QIntValidator(0, 9999, laps_));
  laps_->setAlignment(Qt::AlignCenter);
  laps_->setMaximumWidth(laps_->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 12);

  progress_ = new QProgressBar(this);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  score_ = new QLabel(QStringLiteral("-"), this);
  score_->setMinimumWidth(score_->fontMetrics().horizontalAdvance(QTr(diskbench::kDiskScorePending) + "00"));
  QFont scoreFont = score_->font();
  scoreFont.setBold(true);
  score_->setFont(scoreFont);
  start_ = new QPushButton(QTr("开始"), this);
  start_->setDefault(true);
  stop_ = new QPushButton(QTr("终止"), this);
  stop_->setEnabled(false);
  refresh_->setAutoDefault(false);
  stop_->setAutoDefault(false);

  // The drive and option boxes sit bottom left, the log bottom right.
  auto* driveRow = new QHBoxLayout;
  driveRow->addWidget(new QLabel(QTr("选择硬盘："), this));
  driveRow->addWidget(drives_, 1);
  driveRow->addWidget(sizes_);
  driveRow->addWidget(refresh_);
  auto* lapsRow = new QHBoxLayout;
  lapsRow->addWidget(options_[0]);
  lapsRow->addWidget(laps_);
  lapsRow->addWidget(new QLabel(QTr("圈"), this));
  lapsRow->addStretch();
  auto* optionGrid = new QGridLayout;
  optionGrid->addLayout(lapsRow, 0, 0);
  optionGrid->addWidget(options_[1], 0, 1);
  optionGrid->addWidget(options_[2], 0, 2);
  optionGrid->addWidget(options_[3], 1, 0);
  optionGrid->addWidget(options_[4], 1, 1);
  auto* scoreRow = new QHBoxLayout;
  scoreRow->addWidget(new QLabel(QTr("得分："), this));
  scoreRow->addWidget(score_, 1);
  scoreRow->addWidget(start_);
  scoreRow->addWidget(stop_);
  auto* controls = new QVBoxLayout;
  controls->addLayout(driveRow);
  controls->addLayout(optionGrid);
  controls->addStretch();
  controls->addLayout(scoreRow);

  auto* bottom = new QHBoxLayout;
  bottom->addLayout(controls, 1);
  bottom->addLayout(logColumn, 1);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(yCaption);
  layout->addWidget(chart_, 3);
  layout->addLayout(infoRow);
  layout->addWidget(results_);
  layout->addLayout(bottom, 2);
  layout->addWidget(progress_);

  connect(start_, &QPushButton::clicked, this, [this] { run_->OnStartRun(); });
  connect(stop_, &QPushButton::clicked, this, [this] { run_->OnStopRun(); });
  connect(refresh_, &QPushButton::clicked, this, [this] { run_->OnRefreshDisks(); });
  connect(drives_, &QComboBox::currentIndexChanged, this, [this](int index) { run_->OnSelectDisk(index); });
  connect(sizes_, &QComboBox::activated, this,
          [this](int index) { run_->OnSizeChosen(sizes_->itemData(index).toULongLong()); });

  copy_ = new QAction(QTr("复制结果"), this);
  copy_->setShortcut(QKeySequence::Copy);
  copy_->setShortcutContext(Qt::WindowShortcut);
  connect(copy_, &QAction::triggered, this, [this] { CopyResult(); });
  for (QWidget* w : {static_cast<QWidget*>(this), static_cast<QWidget*>(results_), static_cast<QWidget*>(chart_)}) {
    w->addAction(copy_);
    w->setContextMenuPolicy(Qt::ActionsContextMenu);
  }
  results_->installEventFilter(this);  // the list's own Ctrl+C would copy one cell
  const DiskOption kinds[5] = {DiskOption::kWholeDisk, DiskOption::kPrefill50, DiskOption::kPrefill90,
                               DiskOption::kTrim, DiskOption::kSystemCache};
  for (int i = 0; i < 5; ++i)
    connect(options_[i], &QCheckBox::clicked, this, [this, kind = kinds[i]] { run_->OnOptionClicked(kind); });

  status_ = new QDialog(this, Qt::Dialog | Qt::FramelessWindowHint);
  auto* frame = new QFrame(status_);
  frame->setFrameShape(QFrame::Box);
  statusText_ = new QLabel(frame);
  statusText_->setAlignment(Qt::AlignCenter);
  auto* inner = new QVBoxLayout(frame);
  inner->setContentsMargins(28, 18, 28, 18);
  inner->addWidget(statusText_);
  auto* outer = new QVBoxLayout(status_);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addWidget(frame);

  ResizeWithinScreen(this, QSize(920, 680));
}

void CDiskBench::BuildChart() {
  chart_ = new chart::ChartCtrl(this);
  chart_->setFrameShape(QFrame::Box);
  chart_->setMinimumHeight(fontMetrics().height() * 9);
  // Six hues that stay apart for red-green colour blindness and on light and dark palettes
  // (orange/blue for the sequential lines, the read line dashed; the 64-thread bars hatched).
  chart_->AddBarSeries(QTr("4K随机写"), QColor(230, 159, 0));
  chart_->AddBarSeries(QTr("4K随机读"), QColor(86, 180, 233));
  chart_->AddBarSeries(QTr("64并发4K随机写"), QColor(204, 121, 167), Qt::BDiagPattern);
  chart_->AddBarSeries(QTr("64并发4K随机读"), QColor(0, 158, 115), Qt::FDiagPattern);
  const qreal width = std::max(2, logicalDpiX() / 48);
  chart_->AddLineSeries(QTr("顺序写"), QColor(213, 94, 0), width);
  chart_->AddLineSeries(QTr("顺序读"), QColor(0, 114, 178), width, Qt::DashLine);
  chart_->AddLineSeries(QString(), QColor(128, 128, 128), 0);  // the reference line: thinnest, no legend entry
}

void CDiskBench::BuildResultList() {
  results_ = new QTreeWidget(this);
  results_->setColumnCount(8);
  const int valueWidth = results_->fontMetrics().horizontalAdvance(QStringLiteral("9999.99MB/s"));
  QStringList headers{QTr("空间占用")};
  for (const char* h : diskbench::kDiskCellLabels)
    headers << FitHeading(QTr(h), results_->header()->fontMetrics(), valueWidth);
  results_->setHeaderLabels(headers);
  results_->setRootIsDecorated(false);
  results_->setUniformRowHeights(true);
  results_->setSelectionBehavior(QAbstractItemView::SelectRows);
  results_->setAllColumnsShowFocus(true);
  results_->header()->setStretchLastSection(false);
  results_->header()->setSectionsMovable(false);

  // Value columns fit "9999.99MB/s" or their header, whichever is wider; column 0 takes the rest.
  auto* sample = new QTreeWidgetItem(results_);
  for (int c = 1; c < 8; ++c) sample->setText(c, QStringLiteral("9999.99MB/s"));
  for (int c = 1; c < 8; ++c) results_->resizeColumnToContents(c);
  delete sample;
  for (const char* label : diskbench::kDiskRowLabels) new QTreeWidgetItem(results_, {QTr(label)});
  // Column 0 keeps room for its longest label: the list, and so the window, grows for it.
  results_->resizeColumnToContents(0);
  int listWidth = 2 * results_->frameWidth() + results_->verticalScrollBar()->sizeHint().width();
  for (int c = 0; c < 8; ++c) listWidth += results_->columnWidth(c);
  results_->setMinimumWidth(listWidth);
  results_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  // Room for the four rows and a strip below them (a click there selects no row).
  results_->setFixedHeight(results_->header()->sizeHint().height() + 9 * results_->sizeHintForRow(0) / 2 +
                           2 * results_->frameWidth());
  results_->viewport()->installEventFilter(this);
}

bool CDiskBench::eventFilter(QObject* watched, QEvent* event) {
  // The type first: the list may be half destroyed when its last events arrive.
  if ((event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) && watched == results_ &&
      static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
    if (event->type() == QEvent::KeyPress) CopyResult();
    event->accept();
    return true;
  }
  if (event->type() == QEvent::MouseButtonRelease && watched == results_->viewport()) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::LeftButton) {
      QModelIndex index = results_->indexAt(mouse->position().toPoint());
      run_->LoadHistory(index.isValid() ? index.row() : -1);
    }
  }
  return QDialog::eventFilter(watched, event);
}

void CDiskBench::reject() {
  if (!run_->OnCloseRequest()) return;
  QDialog::reject();
}

QCheckBox* CDiskBench::OptionBox(DiskOption option) const { return options_[static_cast<int>(option)]; }

QString CDiskBench::LogText() const {
  QString text = log_->toPlainText();
  text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  return text;
}
QString CDiskBench::InfoLine() const { return info_->text(); }
QString CDiskBench::ScoreText() const { return score_->text(); }
QString CDiskBench::StatusText() const { return status_->isVisible() ? statusText_->text() : QString(); }
int CDiskBench::ProgressValue() const { return progress_->value(); }

QStringList CDiskBench::RowTexts(int row) const {
  QStringList texts;
  QTreeWidgetItem* item = results_->topLevelItem(row);
  for (int c = 0; item && c < 8; ++c) texts << item->text(c);
  return texts;
}

// ---- DiskRunView ---------------------------------------------------------------------

void CDiskBench::SetDriveLines(const std::vector<std::string>& lines, int selected) {
  QSignalBlocker block(drives_);  // the run logic selects the disk itself
  drives_->clear();
  for (const std::string& line : lines) drives_->addItem(Q(line));
  drives_->setCurrentIndex(selected);
}

DiskRunOptions CDiskBench::Options() {
  DiskRunOptions o;
  o.wholeDisk = options_[0]->isChecked();
  o.prefill50 = options_[1]->isChecked();
  o.prefill90 = options_[2]->isChecked();
  o.trim = options_[3]->isChecked();
  o.systemCache = options_[4]->isChecked();
  o.laps = laps_->text().toInt();  // 0 when empty
  if (qulonglong bytes = sizes_->currentData().toULongLong()) o.writeSize = bytes;
  return o;
}

void CDiskBench::SetOptionChecked(DiskOption option, bool checked) { OptionBox(option)->setChecked(checked); }

void CDiskBench::SetLaps(int laps) { laps_->setText(QString::number(laps)); }

void CDiskBench::SetRunning(bool running) {
  for (QWidget* w : {static_cast<QWidget*>(start_), static_cast<QWidget*>(drives_), static_cast<QWidget*>(refresh_),
                     static_cast<QWidget*>(results_)})
    w->setEnabled(!running);
  for (QCheckBox* box : options_) box->setEnabled(!running);
  sizes_->setEnabled(!running);
  stop_->setEnabled(running);
}

void CDiskBench::SetStopEnabled(bool enabled) { stop_->setEnabled(enabled); }

void CDiskBench::SetScoreText(const std::string& text) { score_->setText(Q(text)); }

void CDiskBench::SetInfoLine(const std::string& text) { info_->setText(Q(text)); }

void CDiskBench::AppendLog(const std::string& line) {
  // Every line starts on a line of its own, also after a text that ends without a break.
  log_->appendPlainText(Q(line));
  log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
}

void CDiskBench::SetLogText(const std::string& text) {
  QString shown = Q(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  log_->setPlainText(shown);
}

void CDiskBench::SetProgress(int percent) { progress_->setValue(std::clamp(percent, 0, 100)); }

void CDiskBench::SetCell(int row, int column, const std::string& text) {
  if (QTreeWidgetItem* item = results_->topLevelItem(row); item && column >= 1 && column <= 7)
    item->setText(column, Q(text));
}

void CDiskBench::DrawLine(int line, const double* x, const double* y, int count) {
  chart_->SetLinePoints(line, x, y, count);
}

void CDiskBench::SetBar(int bar, double x, double mbps) { chart_->SetBar(bar, x, mbps); }

void CDiskBench::ClearBar(int bar) { chart_->ClearBar(bar); }

void CDiskBench::ShowStatus(const std::string& text) {
  if (text.empty()) {
    status_->hide();
    return;
  }
  statusText_->setText(Q(text));
  status_->adjustSize();
  status_->move(geometry().center() - status_->rect().center());
  status_->show();
}

void CDiskBench::ShowMessage(const std::string& text, const std::string& title, DiskMessageIcon icon) {
  ui::ShowMessage(this, Q(text), Q(title), ToMessageIcon(icon));
}

bool CDiskBench::Confirm(const std::string& text) {
  return ui::AskYesNo(this, Q(text), QTr("硬盘跑分"), MessageIcon::kQuestion, true);
}

void CDiskBench::SetSizeChoice(uint64_t bytes) {
  QSignalBlocker block(sizes_);
  int index = sizes_->findData(QVariant::fromValue<qulonglong>(bytes));
  if (index >= 0) sizes_->setCurrentIndex(index);
}

void CDiskBench::CopyResult() {
  const std::string text = run_->ResultText();
  if (!text.empty()) QGuiApplication::clipboard()->setText(Q(text));
}

void CDiskBench::Post(std::function<void()> task) { calls_->PostLater(std::move(task)); }

}  // namespace sorvanta::ui
