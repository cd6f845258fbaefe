// The windows in English and in Chinese: literal English texts, Qt's own dialog texts in
// Chinese, and every label and button as wide as its text needs in both. Unlike the other
// window tests, which run in Chinese, this program sets its language itself. With
// SORVANTA_SHOT_DIR set, each window is also saved there as <language>-<name>[-150].png.
#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <ctime>
#include <fstream>

#include "app/CAboutDlg.h"
#include "app/CSorvantaDlg.h"
#include "base/language.h"
#include "cpubench/ui/CCPUBench.h"
#include "ui/language.h"
#include "ui_test_support.h"
#include "usbtest/ui/CRankListDlg.h"

using sorvanta::Language;
using sorvanta::ui::CCPUBench;
using sorvanta::ui::CRankListDlg;
using sorvanta::ui::CSorvantaDlg;

namespace {

void Shot(QWidget& window, const QString& name) {
  const QString dir = qEnvironmentVariable("SORVANTA_SHOT_DIR");
  if (dir.isEmpty()) return;
  const QString language = sorvanta::CurrentLanguage() == Language::kEnglish ? "en" : "zh";
  const QString scale = qEnvironmentVariable("QT_SCALE_FACTOR") == "1.5" ? "-150" : "";
  window.grab().save(dir + "/" + language + "-" + name + scale + ".png");
}

// Fails for a visible label or button narrower than its text needs (clipped or elided).
// Labels that may shrink by design (a path with its tooltip) are left out.
void ExpectTextsFit(QWidget& window) {
  for (QWidget* w : window.findChildren<QWidget*>()) {
    const auto* label = qobject_cast<QLabel*>(w);
    const auto* button = qobject_cast<QAbstractButton*>(w);
    if (!w->isVisible() || (!label && !button) || w->sizePolicy().horizontalPolicy() == QSizePolicy::Ignored) continue;
    const QString text = label ? label->text() : button->text();
    QVERIFY2(w->width() >= w->minimumSizeHint().width(), qPrintable(text + " is clipped in " + window.windowTitle()));
  }
}

void Show(QWidget& window, const QString& name) {
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  ExpectTextsFit(window);
  Shot(window, name);
}

// Answers the next real message box, after saving it as name: Yes (or OK), or No.
void AnswerNextBox(const QString& name, bool yes) {
  auto* timer = new QTimer(qApp);
  QObject::connect(timer, &QTimer::timeout, [timer, name, yes] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    timer->deleteLater();
    timer->stop();
    ExpectTextsFit(*box);
    Shot(*box, name);
    QAbstractButton* answer = box->button(QMessageBox::Ok);
    if (!answer) answer = box->button(yes ? QMessageBox::Yes : QMessageBox::No);
    answer->click();
  });
  timer->start(10);
}

// A record whose row texts are as long as they come.
std::string RecordJson(long long runtime) {
  return "{\"singlecore\":1234,\"ratio\":1.25,\"multicore\":[{\"value\":1200,\"ratio\":0.5},{\"value\":1250,"
         "\"ratio\":0.75}],\"scoreratio\":1.0,\"runtime\":" + std::to_string(runtime) +
         ",\"maxsinglecore\":5000,\"maxmulticore\":40000}";
}

// Every window of the program in the current language: main window, about box, the CPU
// window idle, asking, and after a run, the USB power-cut window idle and asking.
void ShowEveryWindow() {
  CSorvantaDlg main;
  Show(main, "main");
  sorvanta::ui::CAboutDlg about;
  Show(about, "about");

  QTemporaryDir dir;
  const std::string history = dir.filePath("cpu.json").toStdString();
  std::ofstream(history) << "[\r\n" << RecordJson(std::time(nullptr) - 7200) << "\r\n]";
  CCPUBench::Options cpuOptions;
  cpuOptions.historyPath = history;
  cpuOptions.readMachine = [] {
    sorvanta::cpubench::CpuMachine m;
    m.cpuName = m.brandString = "AMD Ryzen 7 5800X 8-Core Processor";
    m.clockMhz = 3800;
    m.logicalCores = 16;
    m.boardFound = m.memoryOk = true;
    m.boardVendor = "ASUSTeK COMPUTER INC.";
    m.boardName = "PRIME B550M-A";
    m.memoryTotalBytes = 32ull << 30;
    m.memoryAvailableBytes = 20ull << 30;
    m.osName = "Debian GNU/Linux";
    m.osVersion = "12";
    m.architecture = "x86_64";
    return m;
  };
  cpuOptions.requestToken = [](const sorvanta::cpubench::CpuMachine&) {
    return sorvanta::TokenReply("AAAAAAAAAAAAAAAAAAAAAAA=||p1||p2");
  };
  cpuOptions.runExam = [](Json::Value, sorvanta::cpubench::CpuEvents& events, std::stop_token) {
    events.Status(sorvanta::Tr("开始单核考试...."));
    events.Progress(100);
    events.Status(sorvanta::Tr("考试结束，等待判分...."));
    // The service's own text, shown as it came.
    const std::string result = "跑分成功！单核跑分：1234，多核总分：2450（2个逻辑核），多核倍率：1.99";
    events.Done(result, "");
    return sorvanta::cpubench::CpuExamOutcome{true, true, result, ""};
  };
  CCPUBench cpu(nullptr, cpuOptions);
  Show(cpu, "cpu-idle");
  AnswerNextBox("cpu-confirm", true);
  cpu.StartRun();
  QTRY_VERIFY(cpu.CurrentState() == CCPUBench::State::kIdle && cpu.LogText().contains("1.99"));
  QApplication::processEvents();
  ExpectTextsFit(cpu);
  Shot(cpu, "cpu-done");

  CRankListDlg::Options usbOptions;
  usbOptions.settingsPath = dir.filePath("usbtest.json").toStdString();
  usbOptions.listDrives = [] { return std::vector<std::string>{"/media/user/USB"}; };
  CRankListDlg usb(nullptr, usbOptions);
  Show(usb, "usb-idle");
  AnswerNextBox("usb-question", false);
  // The question the window asks when its start button is pressed during a run.
  sorvanta::ui::AskYesNo(&usb, sorvanta::ui::QTr("中断当前操作吗？"), sorvanta::ui::QTr("问你"));
}

}  // namespace

class LanguageWindowTest : public QObject {
  Q_OBJECT

 private slots:
  // English first: Qt's Chinese translations, once installed, stay for the program's life.
  void windowsSpeakEnglish() {
    QVERIFY(sorvanta::UseLanguage(Language::kEnglish, SORVANTA_TEST_LOCALE_DIR));
    CSorvantaDlg dlg;
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Sorvanta for PC"));
    const QStringList captions{"CPU benchmark", "Disk benchmark", "Rankings", "Fake-capacity check"};
    for (int i = 0; i < 4; ++i) QCOMPARE(dlg.Button(i)->text(), captions[i]);
    QCOMPARE(dlg.AnnouncementText(), QStringLiteral("Fetching the announcement..."));
    QCOMPARE(dlg.VersionText(), QStringLiteral("Version: " SORVANTA_TEST_VERSION));
    QCOMPARE(sorvanta::ui::CAboutDlg().VersionText(), QStringLiteral("Sorvanta for PC, version " SORVANTA_TEST_VERSION));

    QTemporaryDir dir;
    sorvanta::testing::MessageRecorder boxes;
    CRankListDlg::Options options;
    options.settingsPath = dir.filePath("usbtest.json").toStdString();
    options.listDrives = [] { return std::vector<std::string>(); };
    CRankListDlg usb(nullptr, options);
    QCOMPARE(usb.windowTitle(), QStringLiteral("USB power-cut test"));
    usb.SetCopyFile(dir.filePath("missing.bin"));
    usb.StartButton()->click();
    QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("The copy file does not exist!")});

    QDialogButtonBox qtButtons(QDialogButtonBox::Cancel);
    QCOMPARE(qtButtons.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("Cancel"));
  }

  void everyWindowFitsInEnglish() { ShowEveryWindow(); }

  void qtDialogsSpeakChineseInChinese() {
    sorvanta::testing::ScopedEnvVar chinese("SORVANTA_LANG", "zh");
    sorvanta::ui::UseEnvironmentLanguage(*static_cast<QApplication*>(QCoreApplication::instance()));
    QCOMPARE(sorvanta::CurrentLanguage(), Language::kChinese);
    QDialogButtonBox qtButtons(QDialogButtonBox::Cancel);
    QCOMPARE(qtButtons.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
    QCOMPARE(CSorvantaDlg().Button(0)->text(), QStringLiteral("CPU跑分"));
  }

  void everyWindowFitsInChinese() { ShowEveryWindow(); }
};

QTEST_MAIN(LanguageWindowTest)
#include "language_window_test.moc"
