// The main window shows what the update check finds: the service's announcement in place
// of the placeholder, " 已是最新版！" after the version, and a line saying why no update was
// made, while the window stays responsive.
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "app/CSorvantaDlg.h"
#include "ui_test_support.h"

using sorvanta::ui::CSorvantaDlg;

class UpdateCheckWindowTest : public QObject {
  Q_OBJECT

 private:
  // Options for a program file in a temporary folder; a restart is only counted.
  sorvanta::UpdateOptions Options(const QTemporaryDir& programDir, const std::string& version) {
    sorvanta::UpdateOptions options;
    options.productVersion = version;
    options.programPath = programDir.filePath(QStringLiteral("sorvanta")).toStdString();
    QFile program(QString::fromStdString(options.programPath));
    program.open(QIODevice::WriteOnly);
    program.write("old");
    options.restart = [this](const std::string&) { ++restarts_; };
    return options;
  }
  int restarts_ = 0;

 private slots:
#ifdef SORVANTA_HAVE_SERVER
  void sameVersionShowsTheAnnouncementAndMarksTheLabel() {
    sorvanta::server::ServiceOptions serviceOptions;
    serviceOptions.releaseVersion = SORVANTA_TEST_VERSION;
    QTemporaryDir programDir;
    serviceOptions.releaseFile = "/bin/true";
    sorvanta::testing::LocalService service(serviceOptions);
    QVERIFY2(service.ok(), service.error().c_str());
    sorvanta::testing::ScopedEnvVar ca("SORVANTA_SERVICE_CA", service.DataDir() + "/ca.pem");

    CSorvantaDlg dlg;
    dlg.show();
    dlg.StartUpdateCheck(Options(programDir, SORVANTA_TEST_VERSION));
    QCOMPARE(dlg.AnnouncementText(), QStringLiteral("获取公告中..."));  // the window did not wait
    QTRY_COMPARE(dlg.AnnouncementText(), QStringLiteral("欢迎使用参考跑分服务。"));
    QTRY_COMPARE(dlg.VersionText(), QStringLiteral("版本：") + QStringLiteral(SORVANTA_TEST_VERSION) +
                                        QStringLiteral(" 已是最新版！"));
    dlg.StartUpdateCheck(Options(programDir, SORVANTA_TEST_VERSION));  // once per window
    QTest::qWait(300);
    QCOMPARE(dlg.VersionText().count(QStringLiteral("已是最新版")), 1);
    QCOMPARE(restarts_, 0);
  }

  // Without the service's CA the version reply is refused: the line goes under the
  // announcement and the label stays as it was.
  void unverifiedServiceAddsALineUnderTheAnnouncement() {
    sorvanta::server::ServiceOptions serviceOptions;
    serviceOptions.releaseVersion = "9.9.9";
    serviceOptions.releaseFile = "/bin/true";
    sorvanta::testing::LocalService service(serviceOptions);
    QVERIFY2(service.ok(), service.error().c_str());
    sorvanta::testing::ScopedEnvVar ca("SORVANTA_SERVICE_CA", "");
    QTemporaryDir programDir;

    CSorvantaDlg dlg;
    dlg.show();
    dlg.StartUpdateCheck(Options(programDir, SORVANTA_TEST_VERSION));
    QTRY_VERIFY(dlg.AnnouncementText().contains(QStringLiteral("无法验证更新服务器的证书，本次不检查更新（")));
    QVERIFY(dlg.AnnouncementText().startsWith(QStringLiteral("欢迎使用参考跑分服务。\n")));
    QCOMPARE(dlg.VersionText(), QStringLiteral("版本：") + QStringLiteral(SORVANTA_TEST_VERSION));
    QCOMPARE(restarts_, 0);
  }
#endif
};

QTEST_MAIN(UpdateCheckWindowTest)
#include "update_check_window_test.moc"
