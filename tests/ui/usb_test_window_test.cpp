// The USB endurance test window against a loopback switch and a temporary folder declared a
// drive: input messages, a short run, export, stopping, closing during a run, the switch
// test, and what the window remembers.
#include <iconv.h>

#include <QCheckBox>
#include <QFile>
#include <QPushButton>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <thread>

#include "platform/eject.h"
#include "support/fake_volumes.h"
#include "ui_test_support.h"
#include "usbtest/fake_switch.h"
#include "usbtest/ui/CRankListDlg.h"

using sorvanta::testing::FakeSwitch;
using sorvanta::testing::FakeVolumes;
using sorvanta::testing::MessageRecorder;
using sorvanta::testing::ScopedEnvVar;
using sorvanta::ui::CRankListDlg;

namespace {

// Decodes GBK bytes with iconv, independently of the program's own conversion.
QString FromGbk(const QByteArray& bytes) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return QStringLiteral("<no iconv>");
  QByteArray in = bytes;
  std::string out(static_cast<size_t>(bytes.size()) * 2 + 16, '\0');
  char* inp = in.data();
  size_t inLeft = static_cast<size_t>(in.size());
  char* outp = out.data();
  size_t outLeft = out.size();
  size_t done = iconv(cd, &inp, &inLeft, &outp, &outLeft);
  iconv_close(cd);
  if (done == static_cast<size_t>(-1)) return QStringLiteral("<not GBK>");
  return QString::fromUtf8(out.data(), static_cast<qsizetype>(out.size() - outLeft));
}

QString WithoutMs(QString cell) {
  if (cell.endsWith(QStringLiteral("ms"))) cell.chop(2);
  return cell;
}

}  // namespace

class UsbTestWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<FakeVolumes> volumes_;
  std::unique_ptr<ScopedEnvVar> config_;
  QString drive_, source_;
  std::atomic<int> offs_{0};
  std::atomic<bool> holdFirstOff_{false};  // the first USBOFF waits until released
  std::atomic<bool> release_{false};
  std::vector<std::future<void>> restores_;

  // A switch that pulls the fake drive on USBOFF and brings it back shortly after USBON.
  std::unique_ptr<FakeSwitch> DriveSwitch() {
    return std::make_unique<FakeSwitch>([this](const std::string& request) {
      if (request == "USBOFF") {
        if (offs_++ == 0 && holdFirstOff_) {
          while (!release_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        volumes_->Remove(drive_.toStdString());
        return std::string("USBOFF OK");
      }
      restores_.push_back(std::async(std::launch::async, [this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        volumes_->Add(drive_.toStdString());
      }));
      return std::string("USBON OK");
    });
  }

  CRankListDlg::Options BaseOptions(int passes, std::atomic<int>* ended = nullptr) {
    CRankListDlg::Options options;
    options.listDrives = [] { return std::vector<std::string>(); };
    options.chooseCopyFile = [] { return QString(); };
    options.chooseCsvFile = [] { return QString(); };
    options.adjustParams = [passes](sorvanta::usbtest::UsbTestParams& p) {
      QCOMPARE(p.disconnectDelaySec, 1);  // what Start passes
      p.disconnectDelaySec = 0;
      p.passes = passes;
      p.retryMs = 20;
      p.afterOffMs = 5;
      p.reconnectChecks = 400;
      p.reconnectIntervalMs = 5;
    };
    if (ended) options.runEnded = [ended] { ++*ended; };
    return options;
  }

  void Fill(CRankListDlg& window, const QString& address) {
    window.SetCopyFile(source_);
    window.SetDriveText(drive_);
    window.SetSwitchText(address);
  }

  QString Target(int i) const { return drive_ + "/writetest" + QString::number(i) + ".bin"; }

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    config_ = std::make_unique<ScopedEnvVar>("XDG_CONFIG_HOME", dir_->filePath("config").toStdString());
    drive_ = dir_->filePath("drive");
    QVERIFY(QDir().mkpath(drive_));
    source_ = dir_->filePath("source.bin");
    QByteArray data(64 * 1024 + 3, '\0');
    std::mt19937 gen(7);
    for (char& c : data) c = static_cast<char>(gen());
    QFile f(source_);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
    f.close();
    volumes_ = std::make_unique<FakeVolumes>();
    volumes_->Add(drive_.toStdString());
    offs_ = 0;
    holdFirstOff_ = false;
    release_ = false;
  }
  void cleanup() {
    release_ = true;
    for (auto& r : restores_) r.wait();
    restores_.clear();
    volumes_.reset();
    config_.reset();
    dir_.reset();
  }

  void inputChecksShowTheirMessagesAndStartNothing() {
    auto sw = DriveSwitch();
    MessageRecorder boxes;
    CRankListDlg window(nullptr, BaseOptions(2));
    const QString addressText = QStringLiteral("树莓派IP应包含端口号！\n例子：192.168.0.100:5000");

    window.SetCopyFile(dir_->filePath("missing.bin"));
    window.SetDriveText(drive_);
    window.SetSwitchText(QString::fromStdString(sw->address()));
    window.StartButton()->click();
    window.SetCopyFile(source_);
    for (const QString& bad : {QString(), QStringLiteral("F:\\"), QStringLiteral("media/u")}) {
      window.SetDriveText(bad);
      window.StartButton()->click();
    }
    window.SetDriveText(dir_->path());  // exists, but is no drive
    window.StartButton()->click();
    window.SetDriveText(drive_ + "//");
    for (const QString& bad : {QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1:"), QStringLiteral("a:b:c")}) {
      window.SetSwitchText(bad);
      window.StartButton()->click();
    }
    QCOMPARE(window.DriveText(), drive_);  // written back as it will be used
    window.TestButton()->click();

    const QString formatText = QStringLiteral("U盘路径错误，格式为斜线开头的挂载点！\n比如/media/user/USB");
    QCOMPARE(boxes.Texts(), (QStringList{QStringLiteral("拷贝文件不存在！"), formatText, formatText, formatText,
                                         QStringLiteral("U盘路径不存在！"), addressText, addressText, addressText,
                                         addressText}));
    // Every check runs before anything starts: no run and no switch test is under way.
    QVERIFY(!window.RunActive());
    QVERIFY(!window.SwitchTestActive());
    QVERIFY(sw->Received().empty());
    QVERIFY(window.LogText().isEmpty());
    QVERIFY(!QFileInfo::exists(Target(0)));
  }

  // Two passes: rows, pass rate, progress and log; then the CSV in GBK; the window
  // remembers the inputs for the next start.
  void shortRunFillsTheWindowAndExportsGbk() {
    auto sw = DriveSwitch();
    MessageRecorder boxes;
    std::atomic<int> ended{0};
    CRankListDlg::Options options = BaseOptions(2, &ended);
    const QString csv = dir_->filePath("result.csv");
    QString chosen = csv;
    options.chooseCsvFile = [&chosen] { return chosen; };
    CRankListDlg window(nullptr, options);
    window.show();
    Fill(window, QString::fromStdString(sw->address()));
    window.StartButton()->click();
    QVERIFY(window.RunActive());
    QTRY_VERIFY_WITH_TIMEOUT(!window.RunActive(), sorvanta::testing::ScaledMs(10000));
    QCOMPARE(ended.load(), 1);
    QVERIFY(boxes.boxes.empty());

    const std::vector<QStringList> rows = window.Rows();
    QCOMPARE(rows.size(), size_t(2));
    for (int i = 0; i < 2; ++i) {
      QCOMPARE(rows[i].value(0), QString::number(i + 1));
      QCOMPARE(rows[i].value(1), QStringLiteral("writetest%1.bin").arg(i));  // the name; the path in the tooltip
      QCOMPARE(window.FileToolTip(i), Target(i));
      QVERIFY2(QRegularExpression("^[0-9]+ms$").match(rows[i].value(2)).hasMatch(), qPrintable(rows[i].value(2)));
      QVERIFY2(QRegularExpression("^[0-9]+ms$").match(rows[i].value(3)).hasMatch(), qPrintable(rows[i].value(3)));
      QCOMPARE(rows[i].value(4), QStringLiteral("通过"));
    }
    QCOMPARE(window.PassRateText(), QStringLiteral("2/2 100%"));
    QCOMPARE(window.ProgressMaximum(), 2);
    QCOMPARE(window.ProgressValue(), 1);
    QVERIFY(window.SpaceValue() > 0 && window.SpaceValue() <= 100);
    const QString log = window.LogText();
    QVERIFY2(log.startsWith(QStringLiteral("日志：\n原始文件SM3:")), qPrintable(log));
    QVERIFY2(log.contains(QStringLiteral("拷贝文件：\n") + Target(1)), qPrintable(log));
    QVERIFY(log.endsWith(QStringLiteral("\n结束！")));
    QVERIFY(window.StartButton()->isEnabled());

    window.ExportButton()->click();
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.startsWith("\xB1\xE0\xBA\xC5,"));  // "编号," in GBK, no byte-order mark
    QString expected = QStringLiteral("编号,文件,识别U盘用时(ms),拷贝用时(ms),校验结果\r\n");
    for (int i = 0; i < 2; ++i) {
      const QStringList& row = rows[i];
      expected += row[0] + "," + Target(i) + "," + WithoutMs(row[2]) + "," + WithoutMs(row[3]) + ",通过,\r\n";
    }
    QCOMPARE(FromGbk(bytes), expected);
    QVERIFY(boxes.boxes.empty());

    // A file that cannot be written.
    chosen = dir_->filePath("no-such-folder/result.csv");
    window.ExportButton()->click();
    QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("无法保存！")});

    // A second run starts afresh: new rows, a new log.
    window.StartButton()->click();
    QVERIFY(window.RunActive());
    QTRY_VERIFY_WITH_TIMEOUT(!window.RunActive(), sorvanta::testing::ScaledMs(10000));
    QCOMPARE(ended.load(), 2);
    QCOMPARE(window.Rows().size(), size_t(2));
    QCOMPARE(window.LogText().count(QStringLiteral("结束！")), 1);
    QVERIFY(window.LogText().startsWith(QStringLiteral("日志：\n")));

    // The next window starts with the inputs of this run.
    CRankListDlg second(nullptr, options);
    QCOMPARE(second.CopyFileText(), source_);
    QCOMPARE(second.DriveText(), drive_);
    QCOMPARE(second.SwitchText(), QString::fromStdString(sw->address()));
    // The second window has no rows yet; export is refused before any dialog.
    second.ExportButton()->click();
    QCOMPARE(boxes.Texts().last(), QStringLiteral("尚未完成试验！"));
  }

  // During a run: export refused, "开始" asks; No goes on, Yes stops: the power cut that was
  // under way is undone with a visible line, and the run ends without waiting for the drive.
  void runningWindowRefusesExportAndStopsOnYes() {
    holdFirstOff_ = true;
    auto sw = DriveSwitch();
    MessageRecorder boxes;
    std::atomic<int> ended{0};
    int chosen = 0;
    CRankListDlg::Options options = BaseOptions(5, &ended);
    options.chooseCsvFile = [&chosen] {
      ++chosen;
      return QString();
    };
    CRankListDlg window(nullptr, options);
    window.ExportButton()->click();  // nothing yet
    Fill(window, QString::fromStdString(sw->address()));
    window.StartButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(offs_.load(), 1, sorvanta::testing::ScaledMs(10000));  // pass 1 waits in the switch
    QTRY_COMPARE(window.Rows().size(), size_t(1));
    window.ExportButton()->click();
    boxes.answers = {false, true};
    window.StartButton()->click();
    QVERIFY(window.RunActive());
    QVERIFY(window.StartButton()->isEnabled());
    window.StartButton()->click();
    QVERIFY(!window.StartButton()->isEnabled());
    release_ = true;
    QTRY_VERIFY_WITH_TIMEOUT(!window.RunActive(), sorvanta::testing::ScaledMs(10000));

    QCOMPARE(chosen, 0);
    QCOMPARE(boxes.boxes.size(), size_t(4));
    QCOMPARE(boxes.boxes[0].text, QStringLiteral("尚未完成试验！"));
    QCOMPARE(boxes.boxes[1].text, QStringLiteral("尚未完成试验！"));
    for (size_t i : {size_t(2), size_t(3)}) {
      QCOMPARE(boxes.boxes[i].text, QStringLiteral("中断当前操作吗？"));
      QCOMPARE(boxes.boxes[i].caption, QStringLiteral("问你"));
      QVERIFY(boxes.boxes[i].yesNo);
    }
    QCOMPARE(window.Rows().size(), size_t(1));
    QCOMPARE(window.Rows()[0].value(4), QString());
    QCOMPARE(window.PassRateText(), QStringLiteral("-/-"));
    QVERIFY2(window.LogText().endsWith(QStringLiteral("连接USB...\n正在恢复供电，请稍候...\n树莓派返回：USBON OK\n结束！")),
             qPrintable(window.LogText()));
    QCOMPARE(sw->ReceivedAfter(2), (std::vector<std::string>{"USBOFF", "USBON"}));
    QVERIFY(window.StartButton()->isEnabled());
    QVERIFY(!QFileInfo::exists(Target(1)));
    QCOMPARE(ended.load(), 1);
  }

  // The run ends while "中断当前操作吗？" is still up: Yes then stops nothing, and the window
  // is idle with "开始" enabled, not waiting for a stop that will never come.
  void runEndingUnderTheStopQuestionLeavesTheWindowIdle() {
    holdFirstOff_ = true;
    auto sw = DriveSwitch();
    MessageRecorder boxes;
    std::atomic<int> ended{0};
    CRankListDlg window(nullptr, BaseOptions(1, &ended));
    Fill(window, QString::fromStdString(sw->address()));
    window.StartButton()->click();
    QTRY_COMPARE(offs_.load(), 1);  // the only pass waits in the switch
    bool endedWhileOpen = false;
    boxes.whileOpen = [&](const sorvanta::ui::MessageRequest&) {
      release_ = true;
      endedWhileOpen = QTest::qWaitFor([&] { return !window.RunActive(); }, sorvanta::testing::ScaledMs(10000));
    };
    window.StartButton()->click();  // asks; answered Yes once the run has ended
    QVERIFY2(endedWhileOpen, "the run did not end while the question was up");
    QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("中断当前操作吗？")});
    QVERIFY(!window.RunActive());
    QVERIFY(window.StartButton()->isEnabled());
    QCOMPARE(ended.load(), 1);
  }

  // The window goes while a pass waits in the switch: the run restores the power without
  // the window and begins no other pass.
  void closingDuringARunRestoresPowerAndEnds() {
    holdFirstOff_ = true;
    auto sw = DriveSwitch();
    MessageRecorder boxes;
    std::atomic<int> ended{0};
    auto* window = new CRankListDlg(nullptr, BaseOptions(5, &ended));
    window->show();
    Fill(*window, QString::fromStdString(sw->address()));
    window->StartButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(offs_.load(), 1, sorvanta::testing::ScaledMs(10000));
    window->close();
    delete window;
    release_ = true;
    QTRY_COMPARE_WITH_TIMEOUT(ended.load(), 1, sorvanta::testing::ScaledMs(10000));
    // The run queued its last events before it ended: they are dropped, not delivered to a
    // gone window.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QCOMPARE(sw->ReceivedAfter(2), (std::vector<std::string>{"USBOFF", "USBON"}));
    QVERIFY(QFileInfo::exists(Target(0)));
    QVERIFY(!QFileInfo::exists(Target(1)));
    QVERIFY(boxes.boxes.empty());
  }

  // The box is read as the run goes: ticked during the run, the next pass ejects first.
  void safeEjectBoxReachesTheRun() {
    struct CountingEjector : sorvanta::platform::DriveEjector {
      sorvanta::Status Eject(const std::string& root) override {
        roots.push_back(root);
        return sorvanta::Status::Ok();
      }
      std::vector<std::string> roots;
    } ejector;
    sorvanta::platform::SetEjectorForTesting(&ejector);
    holdFirstOff_ = true;
    auto sw = DriveSwitch();
    MessageRecorder boxes;
    CRankListDlg window(nullptr, BaseOptions(2));
    Fill(window, QString::fromStdString(sw->address()));
    window.StartButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(offs_.load(), 1, sorvanta::testing::ScaledMs(10000));  // pass 1 went by the eject step
    window.SafeEjectBox()->setChecked(true);
    release_ = true;
    QTRY_VERIFY_WITH_TIMEOUT(!window.RunActive(), sorvanta::testing::ScaledMs(10000));
    sorvanta::platform::SetEjectorForTesting(nullptr);
    QCOMPARE(ejector.roots, std::vector<std::string>{drive_.toStdString()});
    QCOMPARE(window.LogText().count(QStringLiteral("安全弹出...")), 1);
  }

  void switchTestShowsTheReplyOrLogsTheFailure() {
    FakeSwitch sw([](const std::string& request) { return request == "USBON" ? "USBON OK" : "?"; });
    MessageRecorder boxes;
    CRankListDlg window(nullptr, BaseOptions(1));
    window.SetSwitchText(QString::fromStdString(sw.address()));
    window.TestButton()->click();
    QVERIFY(window.SwitchTestActive() && !window.TestButton()->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(boxes.boxes.size(), size_t(1), sorvanta::testing::ScaledMs(10000));
    QVERIFY(!window.SwitchTestActive());
    QCOMPARE(boxes.boxes[0].text, QStringLiteral("USBON OK"));
    QCOMPARE(boxes.boxes[0].caption, QStringLiteral("测试通过！"));
    QCOMPARE(sw.ReceivedAfter(1), std::vector<std::string>{"USBON"});
    QVERIFY(window.TestButton()->isEnabled());

    // The switch says it could not power the port: a failure, with its reply.
    FakeSwitch refusing([](const std::string&) { return std::string("USBON ERR 32"); });
    window.SetSwitchText(QString::fromStdString(refusing.address()));
    window.TestButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(boxes.boxes.size(), size_t(2), sorvanta::testing::ScaledMs(10000));
    QCOMPARE(boxes.boxes[1].text, QStringLiteral("USBON ERR 32"));
    QCOMPARE(boxes.boxes[1].caption, QStringLiteral("测试失败！"));

    const QString closed = "127.0.0.1:" + QString::number(FakeSwitch::UnusedPort());
    window.SetSwitchText(closed);
    window.TestButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(window.TestButton()->isEnabled(), sorvanta::testing::ScaledMs(10000));
    QCOMPARE(window.LogText(), QStringLiteral("树莓派通讯错误！试验终止！（") + closed + QStringLiteral("：连接被拒绝）"));
    QCOMPARE(boxes.boxes.size(), size_t(2));
  }

  // At rest: the offered drives, the first one preselected, the columns fitted to the list
  // with the sample row gone, and a settings file that cannot be read changes nothing.
  void atRestOffersDrivesAndFitsTheColumns() {
    QVERIFY(QDir().mkpath(dir_->filePath("config/sorvanta")));
    QFile broken(dir_->filePath("config/sorvanta/usbtest.conf"));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("\xff\xfe garbage without keys\n=\n");
    broken.close();
    CRankListDlg::Options options = BaseOptions(1);
    options.listDrives = [] { return std::vector<std::string>{"/media/u/A", "/media/u/B"}; };
    CRankListDlg window(nullptr, options);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.OfferedDrives(), (QStringList{"/media/u/A", "/media/u/B"}));
    QCOMPARE(window.DriveText(), QStringLiteral("/media/u/A"));
    QVERIFY(window.CopyFileText().isEmpty());
    QVERIFY(window.SwitchText().isEmpty());
    QCOMPARE(window.PassRateText(), QStringLiteral("-/-"));
    QCOMPARE(window.ProgressMaximum(), 1000);
    QVERIFY(!window.SafeEjectBox()->isChecked());
    QVERIFY(window.Rows().empty());
    const QList<int> widths = window.ColumnWidths();
    QVERIFY(widths[0] > 0 && widths[2] > 0 && widths[3] > 0 && widths[4] > 0);
    // The file column takes what the others leave, so a copy's name is read whole.
    for (int c : {0, 2, 3, 4}) QVERIFY2(widths[1] > widths[c], qPrintable(QString::number(c)));

    // Browsing picks the copy file and remembers it at once.
    CRankListDlg::Options browsing = BaseOptions(1);
    const QString chosen = source_;
    browsing.chooseCopyFile = [chosen] { return chosen; };
    CRankListDlg picker(nullptr, browsing);
    picker.BrowseButton()->click();
    QCOMPARE(picker.CopyFileText(), source_);
    CRankListDlg next(nullptr, BaseOptions(1));
    QCOMPARE(next.CopyFileText(), source_);
  }
};

QTEST_MAIN(UsbTestWindowTest)
#include "usb_test_window_test.moc"
