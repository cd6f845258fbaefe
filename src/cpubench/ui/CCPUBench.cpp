#include "cpubench/ui/CCPUBench.h"

#include <QAction>
#include <QClipboard>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "cpubench/ui/CLoadingDlg.h"
#include "ui/language.h"
#include "ui/look.h"
#include "ui/message_box.h"
#include "ui/queued_calls.h"
#include "ui/restart.h"

namespace sorvanta::ui {
namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

MessageIcon ToMessageIcon(cpubench::CpuMessageIcon icon) {
  switch (icon) {
    case cpubench::CpuMessageIcon::kQuestion: return MessageIcon::kQuestion;
    case cpubench::CpuMessageIcon::kWarning: return MessageIcon::kWarning;
    case cpubench::CpuMessageIcon::kError: return MessageIcon::kError;
    case cpubench::CpuMessageIcon::kNone: break;
  }
  return MessageIcon::kNone;
}

// How the run's threads reach this window: every call through the one QueuedCalls, which
// drops it once the window is detached or gone.
cpubench::CpuCallCarrier CarrierOf(std::shared_ptr<QueuedCalls> calls) {
  return [calls = std::move(calls)](std::function<void()> call, bool wait) { calls->Post(std::move(call), wait); };
}

}  // namespace

CCPUBench::CCPUBench(QWidget* parent, Options options)
    : QDialog(parent), restart_(std::move(options.restart)) {
  setWindowTitle(QTr(cpubench::kCpuCaption));
  setWindowIcon(MainIcon());
  setWindowFlag(Qt::WindowMinimizeButtonHint, true);
  BuildControls();
  calls_ = std::make_shared<QueuedCalls>(this);
  run_ = std::make_unique<cpubench::CpuBenchRun>(static_cast<cpubench::CpuRunView&>(*this), CarrierOf(calls_),
                                                 std::move(static_cast<cpubench::CpuRunConfig&>(options)));
  run_->OnOpen();
  results_->setFocus();
}

CCPUBench::~CCPUBench() {
  // A run still going (only when the window is destroyed without the close box) is left
  // to end by itself; its later calls are dropped, and a waiting one is released.
  calls_->Detach();
}

void CCPUBench::BuildControls() {
  const QString labels[4] = {QTr("CPU信息："), QTr("主板信息："), QTr("内存信息："), QTr("系统信息：")};
  auto* form = new QFormLayout;
  form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
  for (int i = 0; i < 4; ++i) {
    info_[i] = new QLineEdit(this);
    info_[i]->setReadOnly(true);
    info_[i]->setMinimumWidth(info_[i]->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 40);
    form->addRow(labels[i], info_[i]);
  }

  results_ = new QTreeWidget(this);
  results_->setColumnCount(3);
  results_->setHeaderLabels({QTr("项目"), QTr("数值"), QTr("系数")});
  results_->setRootIsDecorated(false);
  results_->setSelectionBehavior(QAbstractItemView::SelectRows);
  results_->setUniformRowHeights(true);
  results_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  results_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  results_->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
  results_->header()->setStretchLastSection(false);

  // Ctrl+C anywhere in the window but a text field with its own selection (the log).
  copy_ = new QAction(QTr("复制结果"), this);
  copy_->setShortcut(QKeySequence::Copy);
  copy_->setShortcutContext(Qt::WindowShortcut);
  addAction(copy_);
  connect(copy_, &QAction::triggered, this, &CCPUBench::CopyResult);
  results_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(results_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    QMenu menu(this);
    menu.addAction(copy_);
    menu.exec(results_->viewport()->mapToGlobal(at));
  });

  previous_ = new QPushButton(QTr("上一次"), this);
  next_ = new QPushButton(QTr("下一次"), this);
  age_ = new QLabel(this);
  age_->setAlignment(Qt::AlignCenter);
  for (QPushButton* b : {previous_, next_}) b->setAutoDefault(false);
  connect(previous_, &QPushButton::clicked, this, &CCPUBench::ShowPrevious);
  connect(next_, &QPushButton::clicked, this, &CCPUBench::ShowNext);

  auto* browse = new QHBoxLayout;
  browse->addWidget(previous_);
  browse->addWidget(age_, 1);
  browse->addWidget(next_);

  auto* left = new QVBoxLayout;
  left->addWidget(results_, 1);
  left->addLayout(browse);

  log_ = new QPlainTextEdit(this);
  log_->setReadOnly(true);
  log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  auto* middle = new QHBoxLayout;
  middle->addLayout(left, 1);
  middle->addWidget(log_, 1);

  progress_ = new QProgressBar(this);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  start_ = new QPushButton(QTr("跑分"), this);
  start_->setAutoDefault(false);
  start_->setMinimumWidth(start_->sizeHint().width() * 3 / 2);
  connect(start_, &QPushButton::clicked, this, &CCPUBench::StartRun);

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(progress_, 1);
  bottom->addWidget(start_);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addLayout(middle, 1);
  layout->addLayout(bottom);
  ResizeWithinScreen(this, QSize(760, 520));
}

void CCPUBench::SetMachineLines(const std::string& cpu, const std::string& board, const std::string& memory,
                                const std::string& os) {
  const std::string* lines[4] = {&cpu, &board, &memory, &os};
  for (int i = 0; i < 4; ++i) {
    info_[i]->setText(Q(*lines[i]));
    info_[i]->setCursorPosition(0);
  }
}

void CCPUBench::ShowRecord(const std::vector<cpubench::CpuRecordRow>& rows, const std::string& age) {
  results_->clear();
  for (const cpubench::CpuRecordRow& row : rows) {
    new QTreeWidgetItem(results_, {Q(row.item), Q(row.value), Q(row.ratio)});
  }
  // The list is never narrower than its rows need, so that no item name (longer in some
  // languages) is cut short; the log beside it wraps instead.
  int width = 2 * results_->frameWidth() + results_->verticalScrollBar()->sizeHint().width();
  for (int c = 0; c < results_->columnCount(); ++c)
    width += std::max(static_cast<QAbstractItemView*>(results_)->sizeHintForColumn(c),  // public there
                      results_->header()->sectionSizeHint(c));
  results_->setMinimumWidth(width);
  age_->setText(Q(age));
  copy_->setEnabled(!rows.empty());
}

void CCPUBench::CopyResult() {
  const std::string text = run_->ShownResultText();
  if (!text.empty()) QGuiApplication::clipboard()->setText(Q(text));
}

void CCPUBench::ShowPrevious() { run_->OnPrevious(); }
void CCPUBench::ShowNext() { run_->OnNext(); }
void CCPUBench::StartRun() { run_->OnStart(); }

void CCPUBench::SetStartEnabled(bool enabled) { start_->setEnabled(enabled); }
void CCPUBench::AppendLog(const std::string& line) { AppendLogLine(Q(line)); }
void CCPUBench::SetProgress(int percent) { progress_->setValue(percent); }

void CCPUBench::AppendLogLine(const QString& line) {
  log_->appendPlainText(line);
  log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
}

void CCPUBench::ShowResult(const std::string& result) {
  AppendLogLine(QTr("---------跑分结果---------"));
  AppendLogLine(Q(result));
}

void CCPUBench::ShowWaiting(bool shown) {
  if (shown && !loading_) {
    loading_ = new CLoadingDlg(this);
    loading_->setWindowModality(Qt::ApplicationModal);
    loading_->show();
  } else if (!shown && loading_) {
    loading_->accept();
    loading_->deleteLater();
    loading_ = nullptr;
  }
}

void CCPUBench::ShowMessage(const std::string& text, const std::string& caption, cpubench::CpuMessageIcon icon) {
  ui::ShowMessage(this, Q(text), Q(caption), ToMessageIcon(icon));
}

bool CCPUBench::Ask(const std::string& text, const std::string& caption, cpubench::CpuMessageIcon icon,
                    bool defaultNo) {
  return AskYesNo(this, Q(text), Q(caption), ToMessageIcon(icon), defaultNo);
}

void CCPUBench::reject() {
  switch (run_->OnCloseRequest()) {
    case cpubench::CpuCloseAction::kStay:
      return;
    case cpubench::CpuCloseAction::kClose:
      QDialog::reject();
      return;
    case cpubench::CpuCloseAction::kRestart:
      if (restart_) {
        restart_();
      } else {
        RestartProgram();  // the run is abandoned as it stands
      }
      return;
  }
}

void CCPUBench::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    reject();  // Enter closes the window like the close box, asking during a run
    return;
  }
  QDialog::keyPressEvent(event);
}

QString CCPUBench::InfoLine(int index) const {
  return index >= 0 && index < 4 ? info_[index]->text() : QString();
}

std::vector<QStringList> CCPUBench::Rows() const {
  std::vector<QStringList> rows;
  for (int i = 0; i < results_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = results_->topLevelItem(i);
    rows.push_back({item->text(0), item->text(1), item->text(2)});
  }
  return rows;
}

QString CCPUBench::AgeText() const { return age_->text(); }
QString CCPUBench::LogText() const { return log_->toPlainText(); }
int CCPUBench::ProgressValue() const { return progress_->value(); }

}  // namespace sorvanta::ui
