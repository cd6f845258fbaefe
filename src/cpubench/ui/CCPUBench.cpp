#include "cpubench/ui/CCPUBench.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <ctime>

#include "cpubench/exam_session.h"
#include "service/token.h"
#include "service/wire_protocol.h"
#include "cpubench/ui/CLoadingDlg.h"
#include "ui/look.h"
#include "ui/message_box.h"
#include "ui/restart.h"
#include "ui/window_bench_sink.h"

namespace sorvanta::ui {
namespace {

const QString kCaption = QStringLiteral("CPU跑分");
const QString kConfirmText = QStringLiteral(
    "1、CPU跑分请关闭后台应用，以免导致跑分偏低；\n"
    "2、笔记本电脑建议插上外接电源，并把电源策略调为“高性能”\n"
    "3、跑分时间不长（不到1分钟），确认开始？");
const QString kForceStopText =
    QStringLiteral("正在跑分，强行中止吗？频繁中断将会被服务器判定为恶意行为并禁止跑分。");
const QString kResultHeader = QStringLiteral("---------跑分结果---------");

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

CCPUBench::CCPUBench(QWidget* parent, Options options)
    : QDialog(parent), options_(std::move(options)) {
  setWindowTitle(kCaption);
  setWindowIcon(MainIcon());
  setWindowFlag(Qt::WindowMinimizeButtonHint, true);
  BuildControls();
  ReadMachineLines();

  // This window becomes the current benchmark window: the session reports here.
  WindowBenchSink::Handlers handlers;
  handlers.log = [this](const std::string& text) { AppendLog(Q(text)); };
  handlers.done = [this](const std::string& text, const std::string&) { OnRunFinished(text); };
  handlers.progress = [this](int percent, int) { progress_->setValue(percent); };
  sink_ = WindowBenchSink::Create(this, std::move(handlers));
  sink_->Install();

  LoadHistory();
  ShowRecord();
  results_->setFocus();
}

CCPUBench::~CCPUBench() {
  // A run still going (only when the window is destroyed without the close box) is left
  // to end by itself when run_ goes; its later calls are dropped by the detached sink.
  sink_->Detach();
}

void CCPUBench::BuildControls() {
  const QString labels[4] = {QStringLiteral("CPU信息："), QStringLiteral("主板信息："),
                             QStringLiteral("内存信息："), QStringLiteral("系统信息：")};
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
  results_->setHeaderLabels({QStringLiteral("项目"), QStringLiteral("数值"), QStringLiteral("系数")});
  results_->setRootIsDecorated(false);
  results_->setSelectionBehavior(QAbstractItemView::SelectRows);
  results_->setUniformRowHeights(true);
  results_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  results_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  results_->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
  results_->header()->setStretchLastSection(false);

  previous_ = new QPushButton(QStringLiteral("上一次"), this);
  next_ = new QPushButton(QStringLiteral("下一次"), this);
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
  start_ = new QPushButton(QStringLiteral("跑分"), this);
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

void CCPUBench::ReadMachineLines() {
  machine_ = options_.readMachine ? options_.readMachine() : ReadCpuMachine();
  info_[0]->setText(Q(CpuInfoLine(machine_)));
  info_[1]->setText(Q(BoardInfoLine(machine_)));
  info_[2]->setText(Q(MemoryInfoLine(machine_)));
  info_[3]->setText(Q(OsInfoLine(machine_)));
  for (QLineEdit* line : info_) line->setCursorPosition(0);
  if (!machine_.boardFound) ShowMessage(this, QStringLiteral("主板信息获取异常！"));
  if (!machine_.memoryOk) ShowMessage(this, QStringLiteral("内存信息获取异常！"));
}

void CCPUBench::LoadHistory() {
  history_ = options_.historyPath.empty() ? LoadCpuHistory() : LoadCpuHistory(options_.historyPath);
  shown_ = static_cast<int>(history_.size()) - 1;
}

void CCPUBench::ShowRecord() {
  results_->clear();
  if (shown_ < 0 || shown_ >= static_cast<int>(history_.size())) {
    age_->clear();
    return;
  }
  const CpuScoreRecord& record = history_[shown_];
  for (const CpuRecordRow& row : CpuRecordRows(record)) {
    new QTreeWidgetItem(results_, {Q(row.item), Q(row.value), Q(row.ratio)});
  }
  age_->setText(Q(CpuRecordAgeLabel(record, std::time(nullptr))));
}

void CCPUBench::ShowPrevious() {
  if (shown_ < 0) return;
  shown_ = PreviousRecordIndex(shown_, static_cast<int>(history_.size()));
  ShowRecord();
}

void CCPUBench::ShowNext() {
  if (shown_ < 0) return;
  shown_ = NextRecordIndex(shown_, static_cast<int>(history_.size()));
  ShowRecord();
}

void CCPUBench::AppendLog(const QString& line) {
  log_->appendPlainText(line);
  log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
}

void CCPUBench::StartRun() {
  if (state_ != State::kIdle) return;
  if (!AskYesNo(this, kConfirmText, kCaption)) return;

  state_ = State::kRequesting;
  start_->setEnabled(false);
  loading_ = new CLoadingDlg(this);
  loading_->setWindowModality(Qt::ApplicationModal);
  loading_->show();

  // The request blocks for up to a few minutes; it runs on a helper thread so that the
  // window keeps painting, and its reply comes back to this thread through the signal.
  auto reply = std::make_shared<std::string>();
  auto request = options_.requestToken;
  CpuMachine machine = machine_;
  QThread* helper = QThread::create([reply, request, machine] {
    *reply = request ? request(machine) : RequestExamToken(machine.brandString, machine.machineId, machine.logicalCores).value_or("");
  });
  connect(helper, &QThread::finished, helper, &QObject::deleteLater);
  connect(helper, &QThread::finished, this, [this, reply] { OnTokenReply(*reply); });
  helper->start();
}

void CCPUBench::OnTokenReply(const std::string& reply) {
  if (loading_) {
    loading_->accept();
    loading_->deleteLater();
    loading_ = nullptr;
  }
  switch (JudgeTokenReply(reply)) {
    case TokenVerdict::kNoReply:
      state_ = State::kIdle;
      ShowMessage(this, Q(kTokenNoReplyText), QStringLiteral("错误"), MessageIcon::kError);
      start_->setEnabled(true);
      return;
    case TokenVerdict::kRefused:
      state_ = State::kRefused;
      ShowMessage(this, Q(kTokenRefusedText), QStringLiteral("错误"), MessageIcon::kError);
      return;
    case TokenVerdict::kAccepted:
      break;
  }
  state_ = State::kRunning;
  Json::Value device = BuildDeviceObject(machine_, reply);
  // The run thread holds the sink for as long as it may report through it.
  // The last session returned right after its Done, long before a new token came back.
  const bool started = run_.Start(
      [sink = sink_, run = options_.runExam, device = std::move(device)]() mutable {
        if (run) {
          run(std::move(device));
        } else {
          RunCpuExam(std::move(device));
        }
      });
  if (!started) {
    state_ = State::kIdle;
    start_->setEnabled(true);
  }
}

void CCPUBench::OnRunFinished(const std::string& result) {
  start_->setEnabled(true);
  AppendLog(kResultHeader);
  AppendLog(Q(result));
  state_ = State::kIdle;
  LoadHistory();
  ShowRecord();
}

void CCPUBench::reject() {
  if (state_ == State::kRequesting) return;  // the window does not respond meanwhile
  if (state_ != State::kRunning) {
    QDialog::reject();
    return;
  }
  // "否" is the default: a stray Enter must not abandon the run and restart the program.
  if (!AskYesNo(this, kForceStopText, QStringLiteral("警告"), MessageIcon::kWarning, true)) return;
  if (state_ != State::kRunning) {  // the run ended while the question was up: just close
    QDialog::reject();
    return;
  }
  if (options_.restart) {
    options_.restart();
  } else {
    RestartProgram();  // the run is abandoned as it stands
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
