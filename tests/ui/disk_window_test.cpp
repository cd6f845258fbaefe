// The disk benchmark window over the run logic with a scripted engine: notifications from
// the run thread, history rows loaded by a click, the close refusal, destruction during a
// run, the option boxes, the opening failure, and a real short run. With SORVANTA_SHOT_DIR
// set, the real run is saved as PNG before, during and after it and after a row click.
#include <QAreaSeries>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QLineSeries>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QValueAxis>
#include <QtTest>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "chart/chart_ctrl.h"
#include "platform/paths.h"
#include "diskbench/ui/CDiskBench.h"
#include "support/fake_volumes.h"
#include "ui_test_support.h"

using sorvanta::diskbench::DiskEvents;
using sorvanta::diskbench::DiskOption;
using sorvanta::ui::CDiskBench;

namespace {

void Shot(QWidget& window, const char* name) {
  const char* dir = std::getenv("SORVANTA_SHOT_DIR");
  if (!dir) return;
  QCoreApplication::processEvents();
  window.grab().save(QString::fromUtf8(dir) + QLatin1Char('/') + QLatin1String(name));
}

// Clicks result row 0..3, or the strip below the rows for -1.
void ClickRow(CDiskBench& window, int row) {
  QTreeWidget* list = window.ResultList();
  QRect last = list->visualItemRect(list->topLevelItem(3));
  QPoint at = row < 0 ? QPoint(5, last.bottom() + 3) : list->visualItemRect(list->topLevelItem(row)).center();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
}

}  // namespace

class DiskWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  std::string root_;
  std::unique_ptr<sorvanta::testing::FakeVolumes> volumes_;
  std::atomic<int> closes_{0}, posts_{0}, trims_{0};
  std::atomic<bool> trimRelease_{true};
  std::atomic<uint64_t> writeSize_{0};  // what the last sequence was asked to write
  std::function<void(DiskEvents&, std::stop_token)> sequence_;  // what the engine does on the run thread

  sorvanta::diskbench::DiskRunConfig Config() {
    sorvanta::diskbench::DiskRunConfig c;
    c.minFreeBytes = 1 << 20;
    c.historyFolder = dir_.filePath(QStringLiteral("history")).toStdString() + "/";
    c.settingsPath = dir_.filePath(QStringLiteral("config/disk.conf")).toStdString();
    c.engine.tempFolder = dir_.path().toStdString() + "/";
    c.openIdentification = [](std::string*) { return 0; };
    c.closeIdentification = [this] { ++closes_; };
    c.enumerate = [this](sorvanta::diskbench::DiskList& list) {
      list["Model X/" + root_] = sorvanta::diskbench::DiskEntry{"\x03SERIAL-ABCDEFGHIJ", {root_}, "Model X", false};
      return true;
    };
    c.board = [] { return sorvanta::platform::BoardInfo{true, "Maker", "Board"}; };
    c.post = [this](const sorvanta::DiskSubmission&) { return ++posts_, std::string("4321"); };
    c.sequence = [this](const sorvanta::diskbench::DiskTestOptions& test, DiskEvents& events, std::stop_token stop) {
      writeSize_ = test.writeSize;
      sequence_(events, stop);
      sorvanta::diskbench::DiskResult result;
      result.completed = true;
      return result;
    };
    c.secondMs = 1;
    c.trim = [this](const std::string&) {
      for (++trims_; !trimRelease_;) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return sorvanta::platform::TrimOutcome{true, 0};
    };
    return c;
  }

 private slots:
  void init() {
    root_ = dir_.filePath(QStringLiteral("vol")).toStdString();
    QVERIFY(QDir().mkpath(QString::fromStdString(root_)));
    QDir(dir_.filePath(QStringLiteral("history"))).removeRecursively();
    QDir(dir_.filePath(QStringLiteral("config"))).removeRecursively();
    writeSize_ = 0;
    volumes_ = std::make_unique<sorvanta::testing::FakeVolumes>();
    volumes_->Add(root_, 300ll << 30);
    closes_ = posts_ = trims_ = 0;
    trimRelease_ = true;
  }
  void cleanup() { volumes_.reset(); }

  void opensWithItsControlsAndClosesAtOnceWithoutIdentification() {
    sorvanta::testing::MessageRecorder boxes;
    {
      CDiskBench window(nullptr, Config());
      window.show();
      QVERIFY(QTest::qWaitForWindowExposed(&window));
      QCOMPARE(window.windowTitle(), QStringLiteral("硬盘跑分"));
      QVERIFY(window.LogText().startsWith(QStringLiteral("欢迎使用磁盘测速！\r\n1、如果刚买来的硬盘，")));
      QVERIFY(window.LogText().endsWith(QStringLiteral("因测试导致数据丢失作者概不负责。")));
      QCOMPARE(window.ScoreText(), QStringLiteral("-"));
      QCOMPARE(window.LapsField()->text(), QStringLiteral("1"));
      QCOMPARE(window.DriveBox()->currentText(), QString::fromStdString(root_ + " Model X"));
      QVERIFY(window.InfoLine().startsWith(QString::fromStdString("分区" + root_ + " 可用空间：300.00G/")));
      QVERIFY(window.StartButton()->isDefault() && window.StartButton()->isEnabled());
      QVERIFY(!window.StopButton()->isEnabled());

      QTreeWidget* list = window.ResultList();
      QStringList headers, labels;
      for (int c = 0; c < 8; ++c) headers << list->headerItem()->text(c);
      for (int r = 0; r < list->topLevelItemCount(); ++r) labels << list->topLevelItem(r)->text(0);
      QCOMPARE(headers, (QStringList{"空间占用", "缓内写入", "缓外写入", "顺序读取", "4K随机写", "4K随机读",
                                     "64T4K随机写", "64T4K随机读"}));
      QCOMPARE(labels, (QStringList{"缺省20G", "预占50%", "预占90%", "跑圈"}));
      // Value columns hold "9999.99MB/s" whole; column 0 takes the rest of the width.
      int sum = list->columnWidth(0);
      for (int c = 1; c < 8; ++c) {
        QVERIFY(list->columnWidth(c) > list->fontMetrics().horizontalAdvance(QStringLiteral("9999.99MB/s")));
        sum += list->columnWidth(c);
      }
      QCOMPARE(sum, list->viewport()->width());

      auto* chart = window.Chart();
      QCOMPARE(chart->LegendNames(),
               (QStringList{"4K随机写", "4K随机读", "64并发4K随机写", "64并发4K随机读", "顺序写", "顺序读"}));
      // Six distinct hues safe for red-green colour blindness; the read line dashed, the
      // 64-thread bars hatched.
      QCOMPARE(chart->BarSeries(0)->brush().color(), QColor(230, 159, 0));
      QCOMPARE(chart->BarSeries(1)->brush().color(), QColor(86, 180, 233));
      QCOMPARE(chart->BarSeries(2)->brush().color(), QColor(204, 121, 167));
      QCOMPARE(chart->BarSeries(3)->brush().color(), QColor(0, 158, 115));
      QCOMPARE(chart->BarSeries(2)->brush().style(), Qt::BDiagPattern);
      QCOMPARE(chart->LineSeries(0)->pen().color(), QColor(213, 94, 0));
      QCOMPARE(chart->LineSeries(1)->pen().color(), QColor(0, 114, 178));
      QCOMPARE(chart->LineSeries(1)->pen().style(), Qt::DashLine);
      QCOMPARE(chart->LineSeries(2)->pen().color(), QColor(128, 128, 128));
      QCOMPARE(window.SizeBox()->currentText(), QStringLiteral("20 GB"));
    }
    QCOMPARE(closes_.load(), 1);

    sorvanta::diskbench::DiskRunConfig broken = Config();
    broken.openIdentification = [](std::string* error) { return *error = "无法读取磁盘信息", 1; };
    CDiskBench failed(nullptr, broken);
    QCOMPARE(failed.exec(), int(QDialog::Rejected));
    QCOMPARE(boxes.Texts(), QStringList{"无法读取磁盘信息"});
  }

  // Notifications come from the run thread and change the window as the run logic says; the
  // finished row is scored and stored, and a click loads it again.
  void notificationsFromTheRunThreadReachTheWindow() {
    sorvanta::testing::MessageRecorder boxes;
    CDiskBench window(nullptr, Config());
    window.show();
    std::atomic<int> stage{0}, release{0};
    auto pause = [&](int n) {
      stage = n;
      while (release.load() < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    sequence_ = [&](DiskEvents& events, std::stop_token) {
      events.Speed(100.0, std::nullopt, false);  // first speed: smoothed = 100
      events.Progress(0, 0);                     // the last index already: nothing drawn
      events.Progress(30, -1);                   // line -1: only the bar
      events.Speed(200.0, 150.0, false);         // smoothed 150
      events.Progress(3, 0);                     // y0[0] = 150, 3 points
      events.Progress(3, 0);                     // repeated: only the bar
      events.Log("[>>]顺序写入测试");
      pause(1);
      events.Progress(140, 1);  // beyond 100: 100 points of the read line
      events.Speed(std::nullopt, std::nullopt, true);
      for (int c = 1; c <= 7; ++c) events.Cell(c == 2 ? std::nullopt : std::optional(100.0 * c + 0.125), c);
      events.Bar(400.0, 0);
      events.Bar(300.0, 3);
      pause(2);
    };
    QTest::mouseClick(window.StartButton(), Qt::LeftButton);
    QTRY_COMPARE(stage.load(), 1);
    auto* chart = window.Chart();
    QCOMPARE(window.ScoreText(), QStringLiteral("待评分"));
    QVERIFY(window.LogText().startsWith(QString::fromStdString("[>>>]测试磁盘：\r\n" + root_ + " Model X")));
    QVERIFY(window.LogText().endsWith(QStringLiteral("\r\n[>>]顺序写入测试")));
    QCOMPARE(window.InfoLine(), QStringLiteral("[>>]顺序写入测试"));
    QCOMPARE(window.ProgressValue(), 3);
    QCOMPARE(chart->LinePoints(0), (QList<QPointF>{{0, 150}, {0.2, 150}, {0.4, 150}}));  // skipped points too
    QVERIFY(chart->LinePoints(1).isEmpty());
    QCOMPARE(chart->LinePoints(2).size(), 101);  // the reference line spans the run
    QCOMPARE(chart->AxisX()->max(), 20.0);
    QVERIFY(window.StopButton()->isEnabled());
    for (QWidget* w : std::initializer_list<QWidget*>{window.StartButton(), window.DriveBox(), window.RefreshButton(),
                                                      window.ResultList(), window.OptionBox(DiskOption::kTrim)})
      QVERIFY(!w->isEnabled());

    release = 1;
    QTRY_COMPARE(stage.load(), 2);
    QCOMPARE(window.ProgressValue(), 100);
    QCOMPARE(chart->LinePoints(1).size(), 100);
    QCOMPARE(chart->LinePoints(1)[3].y(), 150.0);
    QCOMPARE(window.InfoLine(), QString());
    QCOMPARE(window.RowTexts(0), (QStringList{"缺省20G", "100.12MB/s", "未测试", "300.12MB/s", "400.12MB/s",
                                               "500.12MB/s", "600.12MB/s", "700.12MB/s"}));
    QCOMPARE(*chart->Bar(0), QPointF(3.2, 400.0));   // x[16]
    QCOMPARE(*chart->Bar(3), QPointF(13.2, 300.0));  // x[66]
    QVERIFY(!chart->Bar(1));

    release = 2;
    QTRY_VERIFY(window.StartButton()->isEnabled());
    QVERIFY(!window.StopButton()->isEnabled());
    QCOMPARE(posts_.load(), 1);
    QCOMPARE(window.ScoreText(), QStringLiteral("4321"));
    QVERIFY(window.LogText().endsWith(QString::fromStdString("测试结果：\r\n4321\r\n[>>>]分区" + root_ + "测试结束！")));
    QCOMPARE(boxes.Texts(), QStringList{QString::fromStdString("将在 " + root_ + " 写入 20 GB 测试数据，继续吗？")});

    // A click below the rows loads the list only; a click on row 0 brings its chart back.
    ClickRow(window, -1);
    QVERIFY(!chart->Bar(0) && chart->LinePoints(0).isEmpty() && chart->LinePoints(2).isEmpty());
    QCOMPARE(window.RowTexts(0)[3], QStringLiteral("300.12MB/s"));
    ClickRow(window, 0);
    QCOMPARE(window.ScoreText(), QStringLiteral("4321"));
    QCOMPARE(chart->LinePoints(0).size(), 100);
    QCOMPARE(chart->LinePoints(2).size(), 101);
    QCOMPARE(chart->LinePoints(1)[3].y(), 150.0);
    QCOMPARE(*chart->Bar(1), QPointF(6.6, 500.12f));  // the stored cell text, read as float
  }

  void closeIsRefusedDuringARunAndDestroyingTheWindowStopsIt() {
    sorvanta::testing::MessageRecorder boxes;
    std::atomic<bool> ended{false}, lateCallReturned{false};
    std::atomic<int> ticks{0};
    sequence_ = [&](DiskEvents& events, std::stop_token stop) {
      // Waiting events until the stop: the run thread is always about to wait for the window.
      for (; !stop.stop_requested(); ++ticks) events.Log("tick");
      // The window is going away: a waiting event now returns without reaching it.
      events.Log("late");
      lateCallReturned = true;
      ended = true;
    };
    auto* window = new CDiskBench(nullptr, Config());
    window->show();
    window->StartButton()->click();
    QTRY_VERIFY(ticks.load() > 3);
    window->reject();
    QTest::keyClick(window, Qt::Key_Escape);
    QVERIFY(window->isVisible());
    QCOMPARE(boxes.Texts().mid(1), (QStringList{"先停止跑分后再退出！", "先停止跑分后再退出！"}));

    // No event loop runs during the destruction: a deadlock would hang here.
    std::atomic<bool> destroyed{false};
    std::thread watchdog([&] {
      for (int i = 0; i < 2000 && !destroyed; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (!destroyed) std::abort();
    });
    delete window;
    destroyed = true;
    watchdog.join();
    QVERIFY(ended.load());
    QCOMPARE(closes_.load(), 1);
    QVERIFY(lateCallReturned.load());  // the engine no longer reports to the destroyed window
    QCoreApplication::sendPostedEvents();  // calls already queued for the window are dropped
    QCOMPARE(posts_.load(), 0);
  }

  void optionBoxesUncheckEachOtherAndTheCacheBoxWarns() {
    sorvanta::testing::MessageRecorder boxes;
    CDiskBench window(nullptr, Config());
    window.show();
    auto click = [&](DiskOption o) {
      QTest::mouseClick(window.OptionBox(o), Qt::LeftButton, {}, QPoint(8, window.OptionBox(o)->height() / 2));
    };
    auto checked = [&](DiskOption o) { return window.OptionBox(o)->isChecked(); };
    click(DiskOption::kPrefill50);
    click(DiskOption::kPrefill90);
    click(DiskOption::kWholeDisk);
    QVERIFY(checked(DiskOption::kWholeDisk) && !checked(DiskOption::kPrefill50) && !checked(DiskOption::kPrefill90));
    click(DiskOption::kPrefill90);
    QVERIFY(!checked(DiskOption::kWholeDisk) && checked(DiskOption::kPrefill90));
    click(DiskOption::kWholeDisk);
    click(DiskOption::kWholeDisk);  // unchecking it clears the prefill boxes too
    QVERIFY(!checked(DiskOption::kWholeDisk) && !checked(DiskOption::kPrefill90));
    QVERIFY(boxes.boxes.empty());

    click(DiskOption::kSystemCache);
    click(DiskOption::kSystemCache);  // unchecked: no box
    QCOMPARE(boxes.boxes.size(), size_t(1));
    QCOMPARE(boxes.boxes[0].text, QStringLiteral("启用系统缓存会导致速度超过硬盘本身速度，测试结果不代表硬盘的真实实力，"
                                                 "结果不会提交到服务器。"));
    QCOMPARE(boxes.boxes[0].caption, QStringLiteral("注意啊"));
    QVERIFY(boxes.boxes[0].icon == sorvanta::ui::MessageIcon::kInformation);

    // Two laps of the whole disk, each trimmed first: the second starts from the end of the first.
    click(DiskOption::kSystemCache);
    boxes.boxes.clear();
    click(DiskOption::kWholeDisk);
    click(DiskOption::kTrim);
    window.LapsField()->setText(QStringLiteral("2"));
    sequence_ = [](DiskEvents&, std::stop_token) {};
    trimRelease_ = false;
    window.StartButton()->click();
    QTRY_COMPARE(window.StatusText(), QStringLiteral("执行TRIM中......"));
    trimRelease_ = true;
    QTRY_VERIFY(window.StartButton()->isEnabled());
    QCOMPARE(trims_.load(), 2);
    QCOMPARE(window.StatusText(), QString());
    QCOMPARE(posts_.load(), 0);  // the cache box was checked: nothing submitted
    QCOMPARE(window.LapsField()->text(), QStringLiteral("1"));
    QCOMPARE(window.LogText().count(QStringLiteral("测试结束！")), 1);  // the log starts again with each lap
  }

  // The size box reaches the engine and is remembered; Start asks first and No writes
  // nothing; the shown result is copied as the command line prints it.
  void sizeIsAskedForWrittenRememberedAndTheResultCopied() {
    sorvanta::testing::MessageRecorder boxes;
    {
      CDiskBench window(nullptr, Config());
      window.show();
      QComboBox* sizes = window.SizeBox();
      QCOMPARE(sizes->count(), 5);
      QCOMPARE(sizes->itemText(4), QStringLiteral("整盘"));
      sizes->setCurrentIndex(0);
      emit sizes->activated(0);
      QCOMPARE(sizes->currentText(), QStringLiteral("1 GB"));

      boxes.answers = {false};
      window.StartButton()->click();
      QCOMPARE(boxes.Texts(), QStringList{QString::fromStdString("将在 " + root_ + " 写入 1 GB 测试数据，继续吗？")});
      QVERIFY(boxes.boxes[0].yesNo && boxes.boxes[0].defaultNo);
      QVERIFY(window.StartButton()->isEnabled());
      QCOMPARE(writeSize_.load(), uint64_t(0));

      sequence_ = [](DiskEvents& events, std::stop_token) {
        for (int c = 1; c <= 7; ++c) events.Cell(c == 2 ? std::nullopt : std::optional(100.0 * c + 0.125), c);
      };
      window.StartButton()->click();
      QTRY_VERIFY(window.StartButton()->isEnabled());
      QCOMPARE(writeSize_.load(), uint64_t(1) << 30);

      const QString copied = QString::fromStdString("硬盘：" + root_ + " Model X  主板：Maker Board\n") +
                             QStringLiteral("缺省20G  写入1.00 GB\n"
                                            "  缓内写入     100.12MB/s\n"
                                            "  缓外写入     未测试\n"
                                            "  顺序读取     300.12MB/s\n"
                                            "  4K随机写     400.12MB/s  102430 IOPS\n"
                                            "  4K随机读     500.12MB/s  128030 IOPS\n"
                                            "  64T4K随机写  600.12MB/s  153630 IOPS\n"
                                            "  64T4K随机读  700.12MB/s  179230 IOPS\n"
                                            "得分：4321\n时间：");
      QGuiApplication::clipboard()->clear();
      QVERIFY(window.ResultList()->actions().contains(window.CopyAction()));
      QCOMPARE(window.CopyAction()->text(), QStringLiteral("复制结果"));
      window.CopyAction()->trigger();
      QVERIFY2(QGuiApplication::clipboard()->text().startsWith(copied), qPrintable(QGuiApplication::clipboard()->text()));
      QGuiApplication::clipboard()->clear();
      window.ResultList()->setFocus();
      QTest::keyClick(window.ResultList(), Qt::Key_C, Qt::ControlModifier);
      QVERIFY(QGuiApplication::clipboard()->text().startsWith(copied));
    }
    CDiskBench again(nullptr, Config());
    QCOMPARE(again.SizeBox()->currentText(), QStringLiteral("1 GB"));
  }

#ifdef SORVANTA_HAVE_SERVER
  // The real engine on a small write size in a temporary folder, scored by the reference service.
  void realShortRunIsScoredByTheReferenceService() {
    sorvanta::testing::MessageRecorder boxes;  // answers the question before the run
    sorvanta::testing::LocalService service;
    QVERIFY2(service.ok(), service.error().c_str());
    sorvanta::diskbench::DiskRunConfig config = Config();
    config.post = nullptr;
    config.sequence = nullptr;
    // Screenshots run the smallest size of the size box (1 GiB: a point on every percent), in
    // the language the caller's environment asks for.
    const bool shots = std::getenv("SORVANTA_SHOT_DIR") != nullptr;
    if (shots) sorvanta::platform::UseEnvironmentLanguage();
    config.standardWriteSize = shots ? 0 : 256ull << 20;
    config.engine = {300, 2, 150, 1, config.engine.tempFolder};
    CDiskBench window(nullptr, config);
    window.show();
    if (shots) {
      window.SizeBox()->setCurrentIndex(0);
      emit window.SizeBox()->activated(0);
      Shot(window, "disk-ready.png");
    }
    window.StartButton()->click();
    bool shot = false;
    // The checks below say what a run that did not end in time left undone.
    static_cast<void>(QTest::qWaitFor(
        [&] {
          if (!shot && window.Chart()->LinePoints(1).size() >= 40) shot = (Shot(window, "disk-run.png"), true);
          return window.StartButton()->isEnabled();
        },
        sorvanta::testing::ScaledMs(25000)));
    if (window.LogText().contains(QStringLiteral("文件系统不支持"))) QSKIP("temporary folder refuses O_DIRECT");
    QVERIFY(window.RowTexts(0)[7].endsWith(QStringLiteral("MB/s")));
    QVERIFY(window.ScoreText().toInt() > 0);
    for (int b = 0; b < 4; ++b) QVERIFY(window.Chart()->Bar(b));
    Shot(window, "disk-done.png");
    ClickRow(window, -1);
    ClickRow(window, 0);
    window.ResultList()->setCurrentItem(window.ResultList()->topLevelItem(0));
    Shot(window, "disk-history.png");
  }
#endif
};

QTEST_MAIN(DiskWindowTest)
#include "disk_window_test.moc"
