// The capacity-check window: a whole run on a temporary folder declared a volume, a fake drive
// caught with its real size, the close refusal, Stop, the system-volume question and the
// volume list following the mount table. With SORVANTA_SHOT_DIR set, the window is also
// saved as PNG after the fake drive was caught (for scripts/screenshots).
#include <QCheckBox>
#include <QComboBox>
#include <QAbstractButton>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>
#include <filesystem>

#include "capacity/ui/CdriveclearDlg.h"
#include "support/fake_volumes.h"
#include "support/loop_volume.h"
#include "support/simulated_medium.h"
#include "ui_test_support.h"

using sorvanta::ui::CdriveclearDlg;

namespace {

constexpr uint64_t kB = 16ull * 1024 * 1024;

// A stamped log line: "[HH:MM:SS]" then the message.
const QRegularExpression kStamp(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\]"));

// The log's messages, newest first, stamps checked and removed.
QStringList Messages(const CdriveclearDlg& window) {
  QStringList lines = window.LogText().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
  QStringList out;
  for (const QString& line : lines) {
    if (!kStamp.match(line).hasMatch()) {
      out << QStringLiteral("(no stamp) ") + line;
      continue;
    }
    out << line.mid(10);
  }
  return out;
}

void Shot(QWidget& window, const char* name) {
  const char* dir = std::getenv("SORVANTA_SHOT_DIR");
  if (!dir) return;
  QCoreApplication::processEvents();
  window.grab().save(QString::fromUtf8(dir) + QLatin1Char('/') + QLatin1String(name));
}

// Saves the next modal box (a real one) as PNG and answers it No, once it shows.
void ShootNextBoxAndAnswerNo(const char* name, bool* missed) {
  sorvanta::testing::WhenShown([](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                               [name](QWidget* box) {
                                 Shot(*box, name);
                                 static_cast<QMessageBox*>(box)->button(QMessageBox::No)->click();
                               },
                               missed);
}

// The verdict line, speeds replaced by "S".
QString WithoutSpeeds(QString line) {
  return line.replace(QRegularExpression(QStringLiteral("\\d+\\.\\d\\d MB/s")), QStringLiteral("S"));
}

CdriveclearDlg::Options QuietOptions(uint32_t pauseMs) {
  CdriveclearDlg::Options o;
  o.facts.block.sys = "/nonexistent";  // no removable drives
  o.facts.systemPaths = {"/proc"};      // no declared folder holds the system
  o.endPauseMs = pauseMs;
  return o;
}

}  // namespace

class CapacityWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void opensWithHelpTextAndRunsACheckOnADeclaredFolder() {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    sorvanta::testing::FakeVolumes volumes;
    volumes.Add(root, 2 * kB + 64 * 1024, "vfat", "MYUSB");
    sorvanta::testing::MessageRecorder boxes;
    CdriveclearDlg window(nullptr, QuietOptions(2333));
    window.show();

    QCOMPARE(window.windowTitle(), QStringLiteral("扩容U盘鉴定"));
    QVERIFY(window.LogText().startsWith(
        QStringLiteral("原理:\r\n  本软件通过覆盖磁盘可用空间来达到彻底清除曾经删除的文件.\r\n\r\n作用:\r\n")));
    QVERIFY(window.LogText().endsWith(QStringLiteral("所谓的 文件粉碎软件 就是这个原理.")));
    QVERIFY(window.ModeCheck()->isChecked());
    QCOMPARE(window.ModeCheck()->text(), QStringLiteral("磁盘容量鉴定"));
    QCOMPARE(window.DriveRoots(), QStringList{dir.path()});
    QCOMPARE(window.SelectedRoot(), dir.path());
    QCOMPARE(window.VolumeInfo(), QStringLiteral("MYUSB, FAT32"));
    QCOMPARE(window.FreeSpace(), QStringLiteral("32.06 MB"));
    QCOMPARE(window.StartButton()->text(), QStringLiteral("开始"));

    window.StartButton()->click();
    // At once: the volume controls are off and the button reads "停止".
    QVERIFY(!window.DriveList()->isEnabled());
    QVERIFY(!window.RefreshButton()->isEnabled());
    QVERIFY(!window.ModeCheck()->isEnabled());
    QCOMPARE(window.StartButton()->text(), QStringLiteral("停止"));
    // The verdict is the run's last line, logged after the end message.
    QTRY_VERIFY_WITH_TIMEOUT(window.LogText().contains(QStringLiteral("检测完成")) ||
                                 window.LogText().contains(QStringLiteral("无法创建文件")),
                             sorvanta::testing::ScaledMs(20000));
    if (window.LogText().contains(QStringLiteral("文件系统不支持"))) QSKIP("temporary folder refuses O_DIRECT");

    const QString file = dir.path() + QStringLiteral("/temp_0.tmp");
    QStringList m = Messages(window);
    QVERIFY(!m.isEmpty());
    QCOMPARE(WithoutSpeeds(m.takeFirst()),
             QStringLiteral("检测完成，未发现错误。有效容量 0.03 GB（可用空间 0.03 GB），平均写入 S，平均读取 S"));
    QCOMPARE(m, (QStringList{QStringLiteral("处理结束！您的磁盘有效容量：32 MB (0.03 GB)"),
                                            QStringLiteral("清理数据中..."), QStringLiteral("校验文件：") + file,
                                            QStringLiteral("收尾...64 KB"), QStringLiteral("创建文件:") + file,
                                            QStringLiteral("准备填充...")}));
    QCOMPARE(window.Remaining(), QStringLiteral("0 MB"));
    QCOMPARE(window.ProgressValue(), 100);
    QVERIFY(!QFile::exists(file));
    Shot(window, "capacity-honest.png");
    // The button stays off for the pause after the end message, then all comes back.
    QTRY_VERIFY(!window.StartButton()->isEnabled());
    QElapsedTimer off;
    off.start();
    QVERIFY(!window.DriveList()->isEnabled());
    QVERIFY(window.RunActive());
    QTRY_VERIFY_WITH_TIMEOUT(window.StartButton()->isEnabled(), sorvanta::testing::ScaledMs(5000));
    QVERIFY2(off.elapsed() >= 1500, qPrintable(QString::number(off.elapsed())));
    QCOMPARE(window.StartButton()->text(), QStringLiteral("开始"));
    QVERIFY(window.DriveList()->isEnabled() && window.RefreshButton()->isEnabled() && window.ModeCheck()->isEnabled());
    QTRY_VERIFY(!window.RunActive());
    // The only box was the question before the run, answered Yes; Enter would have said No.
    QCOMPARE(boxes.boxes.size(), size_t{1});
    QVERIFY(boxes.boxes[0].yesNo && boxes.boxes[0].defaultNo);
    QVERIFY2(QRegularExpression(QStringLiteral("^将向 ") + QRegularExpression::escape(dir.path()) +
                                QStringLiteral("（[0-9.]+ [MGT]B）写满可用空间 32 MB 的测试数据，测试后删除。继续吗？$"))
                 .match(boxes.boxes[0].text)
                 .hasMatch(),
             qPrintable(boxes.boxes[0].text));
  }

  void answeringNoWritesNothingInEitherMode() {
    QTemporaryDir dir;
    sorvanta::testing::FakeVolumes volumes;
    volumes.Add(dir.path().toStdString(), 2 * kB, "ext4", "");
    sorvanta::testing::SimulatedMedium medium(4 * kB, sorvanta::testing::SimulatedMedium::Beyond::kFiller);
    CdriveclearDlg window(nullptr, QuietOptions(0));
    window.show();
    QCOMPARE(window.VolumeInfo(), QStringLiteral("EXT4"));  // no label: no leading comma
    const struct {
      bool check;
      QString question;
    } cases[] = {
        {true, QStringLiteral("写满可用空间 32 MB 的测试数据，测试后删除。继续吗？")},
        {false, QStringLiteral("写满可用空间 32 MB 的覆盖数据，使已删除的文件无法恢复，完成后删除。继续吗？")},
    };
    for (const auto& c : cases) {
      sorvanta::testing::MessageRecorder boxes;
      boxes.answers = {false};
      window.ModeCheck()->setChecked(c.check);
      window.StartButton()->click();
      QCOMPARE(boxes.boxes.size(), size_t{1});
      QVERIFY2(boxes.boxes[0].text.endsWith(c.question), qPrintable(boxes.boxes[0].text));
      QVERIFY(!window.RunActive());
      QCOMPARE(window.StartButton()->text(), QStringLiteral("开始"));
      QVERIFY(window.LogText().startsWith(QStringLiteral("原理:")));  // nothing started
    }
    QVERIFY(medium.stats().created.empty());
    QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());
    if (std::getenv("SORVANTA_SHOT_DIR")) {  // the real box, for the screenshot
      window.ModeCheck()->setChecked(true);
      bool missed = false;
      ShootNextBoxAndAnswerNo("capacity-confirm.png", &missed);
      window.StartButton()->click();
      QVERIFY2(!missed, "the confirmation box did not show");
      QVERIFY(!window.RunActive());
      QVERIFY(medium.stats().created.empty());
    }
  }

  void fakeDriveIsCaughtAndClosingIsRefusedMeanwhile_data() {
    QTest::addColumn<int>("beyond");
    QTest::addColumn<QString>("why");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QString>("shot");
    QTest::newRow("wrap") << static_cast<int>(sorvanta::testing::SimulatedMedium::Beyond::kWrap)
                          << QStringLiteral("超出部分的写入回绕覆盖了前面的数据")
                          << QStringLiteral("检测结束：疑似扩容盘（超出部分的写入回绕覆盖了前面的数据），真实容量约 0.06 GB"
                                            "（可用空间 0.25 GB）。完好 64 MB，被本次其他数据覆盖 192 MB，丢失 0 MB，"
                                            "无法读取 0 MB。平均写入 S，平均读取 S")
                          << QStringLiteral("capacity-wrap.png");
    QTest::newRow("drop") << static_cast<int>(sorvanta::testing::SimulatedMedium::Beyond::kFiller)
                          << QStringLiteral("超出部分的写入被丢弃，读回的不是写入的数据")
                          << QStringLiteral("检测结束：疑似扩容盘（超出部分的写入被丢弃），真实容量约 0.06 GB"
                                            "（可用空间 0.25 GB）。完好 64 MB，被本次其他数据覆盖 0 MB，丢失 192 MB，"
                                            "无法读取 0 MB。平均写入 S，平均读取 S")
                          << QStringLiteral("capacity-drop.png");
  }

  void fakeDriveIsCaughtAndClosingIsRefusedMeanwhile() {
    QFETCH(int, beyond);
    QFETCH(QString, why);
    QFETCH(QString, verdict);
    QFETCH(QString, shot);
    QTemporaryDir dir;
    sorvanta::testing::FakeVolumes volumes;
    volumes.Add(dir.path().toStdString(), 16 * kB, "vfat", "FAKE1G");
    // Holds 4 blocks, announces 16; writes past the real size land on the first blocks, or
    // are dropped.
    sorvanta::testing::SimulatedMedium medium(4 * kB, static_cast<sorvanta::testing::SimulatedMedium::Beyond>(beyond));
    sorvanta::testing::MessageRecorder boxes;
    CdriveclearDlg window(nullptr, QuietOptions(200));
    window.show();
    window.StartButton()->click();
    QTRY_VERIFY(window.LogText().contains(QStringLiteral("准备填充...")));

    // The close box, Esc and Enter are all refused with the same message.
    window.close();
    QTest::keyClick(&window, Qt::Key_Escape);
    QTest::keyClick(&window, Qt::Key_Return);
    QVERIFY(window.isVisible());
    QCOMPARE(boxes.Texts().mid(1), QStringList(3, QStringLiteral("正在处理,请先停止!")));

    QTRY_VERIFY_WITH_TIMEOUT(window.LogText().contains(QStringLiteral("检测结束：")), sorvanta::testing::ScaledMs(20000));
    QStringList m = Messages(window);
    QCOMPARE(WithoutSpeeds(m.at(0)), verdict);
    QCOMPARE(m.at(1), QStringLiteral("清理数据中..."));
    QCOMPARE(m.at(2), QStringLiteral("估计真实容量：约 64 MB（") + why + QStringLiteral("）"));
    QCOMPARE(m.at(3), QStringLiteral("错误过多，检测中断！"));
    QTRY_VERIFY(!window.RunActive());
    QTRY_VERIFY(window.StartButton()->isEnabled());
    Shot(window, qPrintable(shot));

    // Idle again: Esc closes.
    QTest::keyClick(&window, Qt::Key_Escape);
    QVERIFY(!window.isVisible());
    QCOMPARE(boxes.boxes.size(), size_t{4});
  }

  void systemVolumeIsNotPreselectedAndAsksOnceMore() {
    QTemporaryDir dir;
    sorvanta::testing::FakeVolumes volumes;
    volumes.Add(dir.path().toStdString(), 64 * kB);
    sorvanta::testing::MessageRecorder boxes;
    CdriveclearDlg::Options o = QuietOptions(0);
    o.facts.systemPaths = {dir.path().toStdString()};
    CdriveclearDlg window(nullptr, o);
    QCOMPARE(window.DriveRoots(), QStringList{dir.path()});
    QVERIFY(window.SelectedRoot().isEmpty());
    QVERIFY(window.FreeSpace().isEmpty());

    window.DriveList()->setCurrentIndex(0);
    window.ModeCheck()->setChecked(false);
    boxes.answers = {true, false};
    window.StartButton()->click();
    QCOMPARE(boxes.Texts().size(), 2);
    QCOMPARE(boxes.Texts().mid(1), QStringList{dir.path() + QStringLiteral(
                                            " 是正在运行的系统所在的卷。擦除会用测试数据填满它的全部可用空间，"
                                            "期间系统和其他程序可能因磁盘已满而出错。确定要继续吗？")});
    QVERIFY(!window.RunActive());
    QVERIFY(window.LogText().startsWith(QStringLiteral("原理:")));  // nothing started
  }

  void volumeListFollowsTheMountTableWhileIdle() {
    {
      // A change while a run is going is ignored; Stop ends the run without a verdict; once
      // idle the list is read again and the pick stays.
      QTemporaryDir a, b;
      sorvanta::testing::FakeVolumes volumes;
      volumes.Add(a.path().toStdString(), 64 * kB);
      sorvanta::testing::SimulatedMedium medium(2 * kB, sorvanta::testing::SimulatedMedium::Beyond::kWrap);
      sorvanta::testing::MessageRecorder boxes;
      CdriveclearDlg window(nullptr, QuietOptions(100));
      window.ModeCheck()->setChecked(false);  // wipe
      window.StartButton()->click();
      volumes.Add(b.path().toStdString(), 64 * kB);
      window.OnMountTableChanged();
      QCOMPARE(window.DriveRoots().size(), 1);
      QTRY_VERIFY(window.LogText().contains(QStringLiteral("创建文件:")));
      window.StartButton()->click();
      QVERIFY(!window.StartButton()->isEnabled());  // until the run has ended
      QTRY_VERIFY_WITH_TIMEOUT(!window.RunActive(), sorvanta::testing::ScaledMs(10000));
      QCOMPARE(Messages(window).mid(0, 2), (QStringList{QStringLiteral("清理数据中..."), QStringLiteral("用户终止!")}));
      QVERIFY(!medium.Exists(a.path().toStdString() + "/temp_0.tmp"));
      QTRY_VERIFY(window.StartButton()->isEnabled());
      QCOMPARE(window.StartButton()->text(), QStringLiteral("开始"));
      window.OnMountTableChanged();
      QCOMPARE(window.DriveRoots().size(), 2);
      QCOMPARE(window.SelectedRoot(), a.path());
    }
    // A real mount and unmount reach the window through the mount-table watch.
    const std::string why = sorvanta::testing::LoopVolume::Unavailable();
    if (!why.empty()) QSKIP(why.c_str());
    sorvanta::testing::LoopVolume loop(16ull * 1024 * 1024);
    if (!loop.ok()) QSKIP(loop.error().c_str());
    QVERIFY(loop.Unmount());
    CdriveclearDlg window(nullptr, QuietOptions(0));
    const QString root = QString::fromStdString(loop.root());
    QVERIFY(!window.DriveRoots().contains(root));
    QVERIFY(loop.Mount());
    QTRY_VERIFY_WITH_TIMEOUT(window.DriveRoots().contains(root), sorvanta::testing::ScaledMs(5000));
    QVERIFY(loop.Unmount());
    QTRY_VERIFY_WITH_TIMEOUT(!window.DriveRoots().contains(root), sorvanta::testing::ScaledMs(5000));
  }
};

QTEST_MAIN(CapacityWindowTest)
#include "capacity_window_test.moc"
