// Start-up of the program: the "bustudisk" switch, autorun removal on volume roots, the
// working directory, the update script and the log folder.
#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "app/CSorvantaApp.h"
#include "support/fake_volumes.h"
#include "ui_test_support.h"

using sorvanta::ui::CSorvantaApp;

namespace {

// Captures what the code under test writes to standard error.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    saved_ = dup(2);
    int fd = open(file_.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() { Restore(); }
  QString Text() {
    Restore();
    QFile f(QString::fromStdString(file_));
    f.open(QIODevice::ReadOnly);
    return QString::fromUtf8(f.readAll());
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  std::string file_ = QDir::tempPath().toStdString() + "/sorvanta-stderr-" + std::to_string(getpid());
  int saved_ = -1;
};

struct StartupRun {
  int exitCode = -1;
  int mainWindowRuns = 0;
  QString cwd;
};

}  // namespace

class StartupTest : public QObject {
  Q_OBJECT

 private:
  QString startDir_;

  StartupRun RunApp(const QString& folder, std::vector<std::string> args) {
    StartupRun run;
    CSorvantaApp::Options options;
    options.programFolder = folder.toStdString();
    options.runMainWindow = [&run] {
      ++run.mainWindowRuns;
      run.cwd = QDir::currentPath();
      return 0;
    };
    CSorvantaApp app(0, nullptr, std::move(args), options);
    run.exitCode = app.Run();
    if (run.cwd.isEmpty()) run.cwd = QDir::currentPath();
    QDir::setCurrent(startDir_);
    return run;
  }

 private slots:
  void initTestCase() { startDir_ = QDir::currentPath(); }

  void switchIsFoundAnywhereInTheArguments_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("endurance");
    QTest::newRow("-bustudisk") << QStringList{"-bustudisk"} << true;
    QTest::newRow("abustudiskz") << QStringList{"abustudiskz"} << true;
    QTest::newRow("second argument") << QStringList{"--x", "x-bustudisk-y"} << true;
    QTest::newRow("upper case") << QStringList{"BUSTUDISK"} << false;
    QTest::newRow("split over two") << QStringList{"bustu", "disk"} << false;
    QTest::newRow("none") << QStringList{} << false;
  }
  void switchIsFoundAnywhereInTheArguments() {
    QFETCH(QStringList, args);
    QFETCH(bool, endurance);
    std::vector<std::string> list;
    for (const QString& a : args) list.push_back(a.toStdString());
    QCOMPARE(CSorvantaApp::HasEnduranceSwitch(list), endurance);
  }

  // The switch: autorun entries are still removed and the folder still becomes the
  // working directory, but no main window and no log files; a message and a failure code.
  void enduranceSwitchExitsWithoutWindowOrLogs() {
    QTemporaryDir program, volume;
    sorvanta::testing::FakeVolumes volumes;
    volumes.Add(volume.path().toStdString());
    QDir(volume.path()).mkpath("autorun.inf/inner");
    QFile(volume.path() + "/autorun.inf/inner/x.txt").open(QIODevice::WriteOnly);

    StderrCapture err;
    StartupRun run = RunApp(program.path(), {"x-bustudisk-y"});
    QString said = err.Text();

    QVERIFY(run.exitCode != 0);
    QCOMPARE(run.mainWindowRuns, 0);
    QVERIFY2(said.contains("bustudisk"), qPrintable(said));
    QCOMPARE(QFileInfo(run.cwd).canonicalFilePath(), QFileInfo(program.path()).canonicalFilePath());
    QVERIFY(!QDir(program.path() + "/log").exists());
    QVERIFY(!QFileInfo::exists(volume.path() + "/autorun.inf"));
  }

  // A normal start: update script removed, log folder created with the day's files, the
  // main window run in the program's folder.
  void normalStartPreparesTheFolderAndRunsTheMainWindow() {
    QTemporaryDir program, volume;
    sorvanta::testing::FakeVolumes volumes;
    volumes.Add(volume.path().toStdString());
    QFile autorun(volume.path() + "/autorun.inf");
    QVERIFY(autorun.open(QIODevice::WriteOnly));
    autorun.close();
    autorun.setPermissions(QFile::ReadOwner);
    QFile script(program.path() + "/update.sh");
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.close();
    QFile keep(program.path() + "/update.sh.keep");
    QVERIFY(keep.open(QIODevice::WriteOnly));
    keep.close();

    StartupRun run = RunApp(program.path(), {});

    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.mainWindowRuns, 1);
    QCOMPARE(QFileInfo(run.cwd).canonicalFilePath(), QFileInfo(program.path()).canonicalFilePath());
    QVERIFY(!script.exists());
    QVERIFY(keep.exists());
    QVERIFY(!autorun.exists());
    QStringList logs = QDir(program.path() + "/log").entryList({"sorvanta-*.log"}, QDir::Files);
    QCOMPARE(logs.size(), 3);
  }
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
