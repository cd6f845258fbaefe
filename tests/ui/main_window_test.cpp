// The main window: its controls, the ranking page, the about box, opening the CPU window
// (hide, modal, show) and closing with Enter.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "app/CAboutDlg.h"
#include "app/CSorvantaDlg.h"
#include "capacity/ui/CdriveclearDlg.h"
#include "cpubench/ui/CCPUBench.h"
#include "ui_test_support.h"

using sorvanta::ui::CSorvantaDlg;

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void controlsStandInTheirOrderWithTheirTexts() {
    CSorvantaDlg dlg;
    QCOMPARE(dlg.windowTitle(), QStringLiteral("SorvantaPC版"));
    const QStringList captions{"CPU跑分", "硬盘跑分", "排行榜", "扩容U盘鉴定"};
    int lastX = -1;
    dlg.show();
    for (int i = 0; i < 4; ++i) {
      QPushButton* b = dlg.Button(i);
      QVERIFY(b);
      QCOMPARE(b->text(), captions[i]);
      QVERIFY(b->x() > lastX);  // one row, left to right
      lastX = b->x();
    }
    for (int i = 0; i < 4; ++i) QVERIFY(dlg.Button(i)->isEnabled());
    QCOMPARE(dlg.AnnouncementText(), QStringLiteral("获取公告中..."));
    QCOMPARE(dlg.VersionText(), QStringLiteral("版本：") + QStringLiteral(SORVANTA_TEST_VERSION));
    dlg.SetVersionNote(QStringLiteral(" 已是最新版！"));
    QCOMPARE(dlg.VersionText(),
             QStringLiteral("版本：") + QStringLiteral(SORVANTA_TEST_VERSION) + QStringLiteral(" 已是最新版！"));

    sorvanta::ui::CAboutDlg about;
    QCOMPARE(about.windowTitle(), QStringLiteral("关于 Sorvanta"));
    QCOMPARE(about.VersionText(),
             QStringLiteral("Sorvanta PC 版，版本：") + QStringLiteral(SORVANTA_TEST_VERSION));
  }

  // The layout keeps every button readable when the window is made small or large.
  void layoutSurvivesResizing() {
    CSorvantaDlg dlg;
    dlg.show();
    for (QSize size : {QSize(200, 120), QSize(1400, 900)}) {
      dlg.resize(size);
      QApplication::processEvents();
      for (int i = 0; i < 4; ++i) {
        QPushButton* b = dlg.Button(i);
        QVERIFY(b->width() >= b->fontMetrics().horizontalAdvance(b->text()));
        QVERIFY(b->geometry().right() <= dlg.width());
      }
    }
  }

  void rankingOpensThePageEachTimeAndTheWindowStays() {
    sorvanta::testing::ScopedEnvVar url("SORVANTA_SERVICE_URL", "https://127.0.0.1:9/");
    CSorvantaDlg dlg;
    QList<QUrl> opened;
    dlg.SetUrlOpener([&opened](const QUrl& u) { opened << u; });
    dlg.show();
    dlg.Button(2)->click();
    dlg.Button(2)->click();
    QCOMPARE(opened.size(), 2);
    // A service on this machine: its plain-HTTP ranking page on loopback, at its port + 1.
    QCOMPARE(opened[0], QUrl("http://127.0.0.1:10/RankingList/RankingList.html"));
    QCOMPARE(opened[1], opened[0]);
    QVERIFY(dlg.isVisible());
  }

  void rankingPageIsPlainHttpOnlyForAServiceOnThisMachine() {
    const std::pair<const char*, const char*> cases[] = {
        {"https://localhost:8443", "http://127.0.0.1:8444/RankingList/RankingList.html"},
        {"https://[::1]:8443/", "http://127.0.0.1:8444/RankingList/RankingList.html"},
        {"https://192.168.1.10:8443/", "https://192.168.1.10:8443/RankingList/RankingList.html"},
        {"https://bench.example.org/", "https://bench.example.org/RankingList/RankingList.html"},
        {"https://127.0.0.1/", "https://127.0.0.1/RankingList/RankingList.html"},  // no port to add 1 to
    };
    for (const auto& [service, page] : cases) {
      sorvanta::testing::ScopedEnvVar url("SORVANTA_SERVICE_URL", service);
      QCOMPARE(CSorvantaDlg::RankingUrl(), QUrl(page));
    }
  }

  void firstTickTaskRunsOnceAfterTheWindowAppears() {
    CSorvantaDlg dlg;
    int runs = 0;
    dlg.SetFirstTickTask([&runs](CSorvantaDlg* d) {
      ++runs;
      d->SetAnnouncement(QStringLiteral("公告"));
    });
    dlg.show();
    QCOMPARE(runs, 0);
    QTRY_COMPARE(runs, 1);
    dlg.hide();
    dlg.show();
    // A task armed by this show would run on a 50 ms timer, which expires before this one.
    bool later = false;
    QTimer::singleShot(150, [&later] { later = true; });
    QTRY_VERIFY(later);
    QCOMPARE(runs, 1);
    QCOMPARE(dlg.AnnouncementText(), QStringLiteral("公告"));
  }

  // "CPU跑分" hides the main window while the CPU window is open and shows it again,
  // unchanged, when that window closes.
  void cpuWindowReplacesTheMainWindowWhileOpen() {
    QTemporaryDir data;
    sorvanta::testing::ScopedEnvVar home("XDG_DATA_HOME", data.path().toStdString());
    sorvanta::testing::MessageRecorder boxes;
    CSorvantaDlg dlg;
    dlg.SetAnnouncement(QStringLiteral("今日公告"));
    dlg.show();
    bool mainHiddenMeanwhile = false;
    bool sawCpuWindow = false;
    bool missed = false;
    sorvanta::testing::WhenShown([](QWidget* w) { return qobject_cast<sorvanta::ui::CCPUBench*>(w) != nullptr; },
                                 [&](QWidget* w) {
                                   sawCpuWindow = true;
                                   mainHiddenMeanwhile = !dlg.isVisible();
                                   static_cast<sorvanta::ui::CCPUBench*>(w)->reject();
                                 },
                                 &missed);
    dlg.Button(0)->click();  // returns when the CPU window has closed
    QVERIFY2(!missed, "the CPU window did not show within 10 s");
    QVERIFY(sawCpuWindow);
    QVERIFY(mainHiddenMeanwhile);
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.AnnouncementText(), QStringLiteral("今日公告"));
  }

  // "扩容U盘鉴定" and "硬盘跑分" open their windows in place of the main window, and the program
  // goes on with the main window once the tool closes (hiding a window that waits in exec()
  // would end it). The disk window lists the machine's real disks, which it only reads.
  void toolWindowsOpenModallyAndTheProgramGoesOn() {
    const QString captions[2] = {QStringLiteral("扩容U盘鉴定"), QStringLiteral("硬盘跑分")};
    const int buttons[2] = {3, 1};
    for (int i = 0; i < 2; ++i) {
      sorvanta::testing::MessageRecorder boxes;
      CSorvantaDlg dlg;
      bool mainHiddenMeanwhile = false;
      bool mainBackAfterwards = false;
      QString caption;
      bool missedTool = false, missedReturn = false;
      // The tool window first; once it is gone, the main window back in its place.
      sorvanta::testing::WhenShown(
          [&](QWidget* w) { return w != &dlg && qobject_cast<QDialog*>(w) && w->windowTitle() == captions[i]; },
          [&](QWidget* w) {
            caption = w->windowTitle();
            mainHiddenMeanwhile = !dlg.isVisible();
            static_cast<QDialog*>(w)->reject();
            sorvanta::testing::WhenShown([&](QWidget* m) { return m == &dlg; },
                                         [&](QWidget*) {
                                           mainBackAfterwards = true;
                                           dlg.reject();
                                         },
                                         &missedReturn, [&] { dlg.reject(); });
          },
          &missedTool, [&] { dlg.reject(); });
      QTimer::singleShot(0, [&] { dlg.Button(buttons[i])->click(); });
      dlg.RunUntilClosed();
      if (i == 1 && caption.isEmpty() && !boxes.boxes.empty()) QSKIP("the disk identification cannot be opened here");
      QVERIFY2(!missedTool, "the tool window did not show within 10 s");
      QVERIFY2(!missedReturn, "the main window did not come back within 10 s");
      QCOMPARE(caption, captions[i]);
      QVERIFY(mainHiddenMeanwhile);
      QVERIFY(mainBackAfterwards);
    }
  }

  void enterAndEscCloseTheMainWindow() {
    for (int key : {Qt::Key_Return, Qt::Key_Escape}) {
      CSorvantaDlg dlg;
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      bool toolOpened = false;
      // Should Enter press the focused "CPU跑分", this closes the window it opened.
      QTimer guard;
      connect(&guard, &QTimer::timeout, [&toolOpened] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
          if (auto* cpu = qobject_cast<sorvanta::ui::CCPUBench*>(w); cpu && cpu->isVisible()) {
            toolOpened = true;
            cpu->done(0);
          }
        }
      });
      guard.start(50);
      dlg.Button(0)->setFocus();
      QTest::keyClick(dlg.Button(0), static_cast<Qt::Key>(key));
      QVERIFY(!toolOpened);
      QVERIFY(!dlg.isVisible());
    }
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
