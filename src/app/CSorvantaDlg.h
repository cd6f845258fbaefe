// The main window "SorvantaPC版": the launcher of the tools.
//
// Four buttons in one row ("CPU跑分", "硬盘跑分", "排行榜", "扩容U盘鉴定"), the announcement
// box below them and the version label in the bottom-left corner. A tool button hides
// this window, runs the tool window modally and shows this window again. Enter, Esc and
// the close box close it, which ends the program.
#pragma once

#include <QDialog>
#include <QUrl>
#include <functional>
#include <memory>

#include "base/run_thread.h"
#include "service/update_check.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace sorvanta::ui {

class CSorvantaDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CSorvantaDlg(QWidget* parent = nullptr);
  ~CSorvantaDlg() override;

  // Shows the window and returns once it was closed. Unlike exec(), hiding it while a tool
  // window is open does not end the wait.
  int RunUntilClosed();

  // Runs once, 50 ms after the window first appears, on the window thread: the place
  // where the update and announcement worker is started.
  void SetFirstTickTask(std::function<void(CSorvantaDlg*)> task);
  // Starts the update and announcement check on a thread of its own, once per window (later
  // calls do nothing); it shows its results through queued calls and never makes this
  // window wait. An empty options.restart restarts the program (RestartProgram). Closing
  // the window asks the check to stop.
  void StartUpdateCheck(UpdateOptions options);
  // Opens a page in the default browser; tests replace it.
  void SetUrlOpener(std::function<void(const QUrl&)> opener);

  QString AnnouncementText() const;
  QString VersionText() const;
  // The buttons in their order: 0 "CPU跑分", 1 "硬盘跑分", 2 "排行榜", 3 "扩容U盘鉴定".
  QPushButton* Button(int index) const;
  // The ranking page: in plain HTTP on loopback for a service on this machine, else its
  // HTTPS address (RankingPageUrl).
  static QUrl RankingUrl();

 public slots:
  // For the update and announcement worker; other threads reach them through queued calls.
  void SetAnnouncement(const QString& text);
  // Appends note (e.g. " 已是最新版！") to "版本：" + product version.
  void SetVersionNote(const QString& note);
  // Adds a line at the end of the announcement box.
  void AddAnnouncementLine(const QString& line);

  void OpenCpuBench();
  void OpenDiskBench();
  void OpenCapacityCheck();
  void OpenRankingPage();
  void ShowAbout();

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  // Hides this window, runs tool modally, shows this window again; an update waits meanwhile.
  void RunTool(QDialog& tool);

  QPushButton* buttons_[4] = {};
  QPlainTextEdit* announcement_;
  QLabel* version_;
  std::function<void(CSorvantaDlg*)> firstTickTask_;
  std::function<void(const QUrl&)> urlOpener_;
  bool firstTickArmed_ = true;
  class UpdateAdapter;
  std::shared_ptr<UpdateAdapter> updateAdapter_;
  std::shared_ptr<std::atomic<bool>> updateStop_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<ToolRunGate> toolRuns_ = std::make_shared<ToolRunGate>();
  RunThread<UpdateOutcome> updateRun_;
};

}  // namespace sorvanta::ui
