// Start-up of the program: the "bustudisk" switch, autorun removal on volume roots, the
// working directory, the update script and the log folder.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "app/CSorvantaApp.h"
#include "support/fake_volumes.h"
#include "support/scoped_env_var.h"
#include "ui_test_support.h"

using sorvanta::ui::CSorvantaApp;

namespace {

struct StartupRun {
  int exitCode = -1;
  int mainWindowRuns = 0;
  int enduranceWindowRuns = 0;
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
    options.runEnduranceWindow = [&run] {
      ++run.enduranceWindowRuns;
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
  // working directory; the endurance test window runs alone, without main window or logs.
  void enduranceSwitchRunsTheTestWindowAlone() {
    QTemporaryDir program, volume;
    sorvanta::testing::FakeVolumes volumes;
    volumes.Add(volume.path().toStdString());
    QDir(volume.path()).mkpath("autorun.inf/inner");
    QFile(volume.path() + "/autorun.inf/inner/x.txt").open(QIODevice::WriteOnly);
    QFile script(program.path() + "/update.sh");
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.close();

    StartupRun run = RunApp(program.path(), {"x-bustudisk-y"});

    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.enduranceWindowRuns, 1);
    QCOMPARE(run.mainWindowRuns, 0);
    QCOMPARE(QFileInfo(run.cwd).canonicalFilePath(), QFileInfo(program.path()).canonicalFilePath());
    QVERIFY(!QDir(program.path() + "/log").exists());
    QVERIFY(script.exists());  // the update step belongs to the main window's start
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
    QCOMPARE(run.enduranceWindowRuns, 0);
    QCOMPARE(QFileInfo(run.cwd).canonicalFilePath(), QFileInfo(program.path()).canonicalFilePath());
    QVERIFY(!script.exists());
    QVERIFY(keep.exists());
    QVERIFY(!autorun.exists());
    QStringList logs = QDir(program.path() + "/log").entryList({"sorvanta-*.log"}, QDir::Files);
    QCOMPARE(logs.size(), 3);
  }

  // An installed copy cannot write beside /usr/bin/sorvanta: it works and logs in the
  // state folder instead.
  void installedCopyWorksAndLogsInTheStateFolder() {
    QTemporaryDir state, volume;
    sorvanta::testing::FakeVolumes volumes;
    volumes.Add(volume.path().toStdString());
    sorvanta::testing::ScopedEnvVar stateVar("XDG_STATE_HOME", state.path().toStdString());

    const bool hadUsrLog = QFileInfo::exists("/usr/bin/log");
    StartupRun run = RunApp("/usr/bin", {});

    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.cwd, state.path() + "/sorvanta");
    QStringList logs = QDir(state.path() + "/sorvanta/log").entryList({"sorvanta-*.log"}, QDir::Files);
    QCOMPARE(logs.size(), 3);
    if (!hadUsrLog) QVERIFY(!QFileInfo::exists("/usr/bin/log"));
  }
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
