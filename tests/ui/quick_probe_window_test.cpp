// The quick probe in the capacity window: offered only for a volume on a removable drive,
// asked for with a confirmation that names the drive, the unmount and the backup, and run
// as a helper program whose log and verdict the window shows.
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>

#include "capacity/ui/CdriveclearDlg.h"
#include "support/fake_volumes.h"
#include "ui_test_support.h"

using sorvanta::ui::CdriveclearDlg;

class QuickProbeWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void offeredForRemovableDrivesAndConfirmedFirst() {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    const QString argsFile = dir.filePath(QStringLiteral("args"));
    sorvanta::testing::FakeVolumes volumes;
    volumes.Add(root, 64 * 1024 * 1024, "vfat", "FAKE");
    sorvanta::testing::MessageRecorder boxes;
    std::string disk;  // what the window is told lies under the volume
    CdriveclearDlg::Options o;
    o.facts.block.sys = "/nonexistent";
    o.facts.systemPaths = {"/proc"};
    o.removableDiskOf = [&disk](const std::string&) { return disk; };
    // A stand-in for the helper: a log line, progress, its arguments, the JSON result.
    o.probeCommand = {"/bin/sh", "-c",
                      "printf 'log\\t第 1 轮：写入并读回 32 个位置\\nprogress\\t45\\n' >&2; echo \"$@\" > '" +
                          argsFile.toStdString() +
                          "'; echo '{\"verdict\":\"failed\",\"verdictText\":\"快速鉴定：疑似扩容盘，真实容量约 0.25 GB"
                          "（标称 4.00 GB），超出部分的写入回绕覆盖了前面的数据。用时 3 秒，写入 64 MB。\",\"error\":\"\"}'",
                      "sh"};
    CdriveclearDlg window(nullptr, o);
    window.show();
    QCOMPARE(window.QuickProbeButton()->text(), QStringLiteral("快速鉴定"));
    QVERIFY(!window.QuickProbeButton()->isEnabled());  // not on a removable drive

    disk = "/dev/sdz";
    window.ListVolumes();
    QVERIFY(window.QuickProbeButton()->isEnabled());
    boxes.answers = {false};
    window.QuickProbeButton()->click();
    QCOMPARE(boxes.Texts(),
             QStringList{QStringLiteral(
                 "快速鉴定将直接在 /dev/sdz 的若干位置写入测试扇区，约需一分钟，不会写满磁盘。\n"
                 "开始前会卸载该磁盘上的全部分区。被覆盖的数据先备份（内存中和 "
                 "/var/lib/sorvanta/quick-probe.backup），结束后写回并逐一核对；若中途断电或程序崩溃，下次快速鉴定开始时写回。\n"
                 "需要管理员密码。继续吗？")});
    QVERIFY(!window.ProbeActive());

    boxes.answers = {true};
    window.QuickProbeButton()->click();
    QVERIFY(window.ProbeActive());
    QCOMPARE(window.QuickProbeButton()->text(), QStringLiteral("停止快速鉴定"));
    QVERIFY(!window.StartButton()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!window.ProbeActive(), 20000);
    QCOMPARE(boxes.Texts().last(),
             QStringLiteral("快速鉴定：疑似扩容盘，真实容量约 0.25 GB（标称 4.00 GB），超出部分的写入回绕覆盖了前面的数据。"
                            "用时 3 秒，写入 64 MB。"));
    QVERIFY(window.LogText().contains(QStringLiteral("]第 1 轮：写入并读回 32 个位置\r\n")));
    QCOMPARE(window.ProgressValue(), 45);
    QFile args(argsFile);
    QVERIFY(args.open(QIODevice::ReadOnly));
    QCOMPARE(args.readAll().trimmed(), QByteArray("--unmount /dev/sdz"));
    QCOMPARE(window.QuickProbeButton()->text(), QStringLiteral("快速鉴定"));
    QVERIFY(window.StartButton()->isEnabled());
    if (const char* shots = std::getenv("SORVANTA_SHOT_DIR"))
      window.grab().save(QString::fromUtf8(shots) + QStringLiteral("/quick-probe-window.png"));
  }
};

QTEST_MAIN(QuickProbeWindowTest)
#include "quick_probe_window_test.moc"
