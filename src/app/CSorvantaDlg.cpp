#include "app/CSorvantaDlg.h"

#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "app/CAboutDlg.h"
#include "capacity/ui/CdriveclearDlg.h"
#include "cpubench/ui/CCPUBench.h"
#include "diskbench/ui/CDiskBench.h"
#include "service/requests.h"
#include "ui/language.h"
#include "ui/look.h"
#include "ui/queued_calls.h"
#include "ui/restart.h"

namespace sorvanta::ui {
// Shows what the update check reports: each call copies its text and is queued to the
// window thread without waiting; calls after the window is gone are dropped.
class CSorvantaDlg::UpdateAdapter : public UpdateReporter {
 public:
  explicit UpdateAdapter(CSorvantaDlg* window) : window_(window), calls_(window) {}
  void ShowAnnouncement(const std::string& text) override {
    Post([text = QString::fromStdString(text)](CSorvantaDlg* w) { w->SetAnnouncement(text); });
  }
  void AddNotice(const std::string& line) override {
    Post([line = QString::fromStdString(line)](CSorvantaDlg* w) { w->AddAnnouncementLine(line); });
  }
  void MarkUpToDate() override {
    Post([](CSorvantaDlg* w) { w->SetVersionNote(QTr(" 已是最新版！")); });
  }
  void Detach() { calls_.Detach(); }

 private:
  void Post(std::function<void(CSorvantaDlg*)> call) {
    calls_.Post([window = window_, call = std::move(call)] { call(window); }, false);
  }
  CSorvantaDlg* window_;  // reached only through calls_, which drops calls once it is gone
  QueuedCalls calls_;
};

CSorvantaDlg::CSorvantaDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QTr("SorvantaPC版"));
  setWindowIcon(MainIcon());
  setWindowFlag(Qt::WindowMinimizeButtonHint, true);
  urlOpener_ = [](const QUrl& url) { QDesktopServices::openUrl(url); };

  const QString captions[4] = {QTr("CPU跑分"), QTr("硬盘跑分"), QTr("排行榜"), QTr("扩容U盘鉴定")};
  auto* row = new QHBoxLayout;
  for (int i = 0; i < 4; ++i) {
    buttons_[i] = new QPushButton(captions[i], this);
    buttons_[i]->setAutoDefault(false);  // Enter closes the window, it does not press a button
    buttons_[i]->setMinimumHeight(buttons_[i]->sizeHint().height() * 3 / 2);
    buttons_[i]->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    row->addWidget(buttons_[i]);
  }
  connect(buttons_[0], &QPushButton::clicked, this, &CSorvantaDlg::OpenCpuBench);
  connect(buttons_[1], &QPushButton::clicked, this, &CSorvantaDlg::OpenDiskBench);
  connect(buttons_[2], &QPushButton::clicked, this, &CSorvantaDlg::OpenRankingPage);
  connect(buttons_[3], &QPushButton::clicked, this, &CSorvantaDlg::OpenCapacityCheck);

  announcement_ = new QPlainTextEdit(this);
  announcement_->setReadOnly(true);
  announcement_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  announcement_->setPlainText(QTr("获取公告中..."));

  version_ = new QLabel(QTr("版本：%1").arg(ProductVersion()), this);
  auto* about = new QPushButton(QTr("关于 Sorvanta(&A)..."), this);
  about->setAutoDefault(false);
  about->setFlat(true);
  connect(about, &QPushButton::clicked, this, &CSorvantaDlg::ShowAbout);

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(version_);
  bottom->addStretch();
  bottom->addWidget(about);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addWidget(announcement_, 1);
  layout->addLayout(bottom);
  ResizeWithinScreen(this, QSize(560, 360));
}

CSorvantaDlg::~CSorvantaDlg() {
  updateStop_->store(true);
  toolRuns_->Cancel();
  if (updateAdapter_) updateAdapter_->Detach();
}

void CSorvantaDlg::StartUpdateCheck(UpdateOptions options) {
  if (updateAdapter_) return;
  if (!options.restart) {
    options.restart = [](const std::string& path) { RestartProgram(QString::fromStdString(path)); };
  }
  if (!options.toolRuns) options.toolRuns = toolRuns_;
  std::shared_ptr<ToolRunGate> gate = options.toolRuns;
  updateAdapter_ = std::make_shared<UpdateAdapter>(this);
  updateRun_.Start(
      [reporter = updateAdapter_, stop = updateStop_, options = std::move(options)] {
        return RunUpdateCheck(options, *reporter, *stop);
      },
      [stop = updateStop_, gate = std::move(gate)] {
        stop->store(true);
        gate->Cancel();
      });
}

int CSorvantaDlg::RunUntilClosed() {
  // A loop of its own that only done() ends: QDialog::exec() would return as soon as
  // RunTool hides this window.
  QEventLoop loop;
  connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
  show();
  loop.exec();
  updateStop_->store(true);  // the program is ending: no update is installed or started now
  toolRuns_->Cancel();
  return result();
}

void CSorvantaDlg::SetFirstTickTask(std::function<void(CSorvantaDlg*)> task) {
  firstTickTask_ = std::move(task);
}

void CSorvantaDlg::SetUrlOpener(std::function<void(const QUrl&)> opener) {
  urlOpener_ = std::move(opener);
}

QString CSorvantaDlg::AnnouncementText() const { return announcement_->toPlainText(); }
QString CSorvantaDlg::VersionText() const { return version_->text(); }
QPushButton* CSorvantaDlg::Button(int index) const {
  return index >= 0 && index < 4 ? buttons_[index] : nullptr;
}

QUrl CSorvantaDlg::RankingUrl() {
  return QUrl(QString::fromStdString(RankingPageUrl()));
}

void CSorvantaDlg::SetAnnouncement(const QString& text) { announcement_->setPlainText(text); }

void CSorvantaDlg::SetVersionNote(const QString& note) {
  version_->setText(QTr("版本：%1").arg(ProductVersion()) + note);
}

void CSorvantaDlg::AddAnnouncementLine(const QString& line) { announcement_->appendPlainText(line); }

void CSorvantaDlg::OpenCpuBench() {
  CCPUBench tool(this);
  RunTool(tool);
}

void CSorvantaDlg::OpenDiskBench() {
  CDiskBench tool(this);
  RunTool(tool);
}

void CSorvantaDlg::OpenCapacityCheck() {
  CdriveclearDlg::Options options;
  options.showAbout = [](QWidget* parent) {
    CAboutDlg about(parent);
    about.exec();
  };
  CdriveclearDlg tool(this, std::move(options));
  RunTool(tool);
}

void CSorvantaDlg::OpenRankingPage() {
  if (urlOpener_) urlOpener_(RankingUrl());
}

void CSorvantaDlg::ShowAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CSorvantaDlg::RunTool(QDialog& tool) {
  toolRuns_->Begin();
  hide();
  tool.exec();
  show();
  toolRuns_->End();
}

void CSorvantaDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (firstTickArmed_) {
    firstTickArmed_ = false;
    QTimer::singleShot(50, this, [this] {
      if (firstTickTask_) firstTickTask_(this);
    });
  }
}

void CSorvantaDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    close();  // like the close box
    return;
  }
  QDialog::keyPressEvent(event);  // Esc closes through reject()
}

void CSorvantaDlg::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction(QTr("关于 Sorvanta(&A)..."), this, &CSorvantaDlg::ShowAbout);
  menu.exec(event->globalPos());
}

}  // namespace sorvanta::ui
