// The CPU benchmark window: history browsing, the token request outcomes against the
// reference service, a whole run, and closing while a run is going.
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <ctime>
#include <fstream>

#include "cpubench/exam_session.h"
#include "service/requests.h"
#include "service/token.h"
#include "service/wire_protocol.h"
#include "cpubench/ui/CCPUBench.h"
#include "cpubench/ui/CLoadingDlg.h"
#include "support/https_test_server.h"
#include "ui_test_support.h"

using sorvanta::cpubench::CpuEvents;
using sorvanta::cpubench::CpuExamOutcome;
using sorvanta::ui::CCPUBench;
using State = CCPUBench::State;

namespace {

std::string RecordJson(int singlecore, long long runtime) {
  return "{\"singlecore\":" + std::to_string(singlecore) +
         ",\"ratio\":1.25,\"multicore\":[{\"value\":" + std::to_string(singlecore - 10) +
         ",\"ratio\":0.5},{\"value\":" + std::to_string(singlecore + 10) +
         ",\"ratio\":0.75}],\"scoreratio\":1.0,\"runtime\":" + std::to_string(runtime) +
         ",\"maxsinglecore\":5000,\"maxmulticore\":40000}";
}

// A machine whose readings all worked, so that opening the window shows no box.
sorvanta::cpubench::CpuMachine GoodMachine() {
  sorvanta::cpubench::CpuMachine m;
  m.cpuName = "Test CPU";
  m.brandString = "Test CPU";
  m.clockMhz = 3600;
  m.logicalCores = 2;
  m.boardFound = true;
  m.boardVendor = "Vendor";
  m.boardName = "Board";
  m.memoryOk = true;
  m.memoryTotalBytes = 8ull << 30;
  m.memoryAvailableBytes = 4ull << 30;
  m.osName = "Debian GNU/Linux";
  m.osVersion = "12";
  m.architecture = "x86_64";
  m.machineId = "0123456789abcdef0123456789abcdef";
  return m;
}

// A token reply whose credential has the right length (17 bytes), so that "跑分" goes on to
// start a run.
std::string GrantedToken(const sorvanta::cpubench::CpuMachine&) { return "AAAAAAAAAAAAAAAAAAAAAAA=||p1||p2"; }

bool LoadingBoxVisible() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (qobject_cast<sorvanta::ui::CLoadingDlg*>(w) && w->isVisible()) return true;
  }
  return false;
}

// Answers the next real message box with Enter once it is shown, noting its default button.
class EnterOnNextBox : public QObject {
 public:
  EnterOnNextBox() { qApp->installEventFilter(this); }
  ~EnterOnNextBox() override { qApp->removeEventFilter(this); }
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* box = qobject_cast<QMessageBox*>(watched);
    if (box && event->type() == QEvent::Show && !answered_) {
      answered_ = true;
      if (box->defaultButton()) defaultText = box->defaultButton()->text();
      QMetaObject::invokeMethod(box, [box] { QTest::keyClick(box, Qt::Key_Return); }, Qt::QueuedConnection);
    }
    return false;
  }
  QString defaultText;

 private:
  bool answered_ = false;
};

}  // namespace

class CpuBenchTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir data_;
  std::string historyPath_;

  CCPUBench::Options BaseOptions() {
    CCPUBench::Options options;
    options.historyPath = historyPath_;
    options.readMachine = GoodMachine;
    options.restart = [] { QFAIL("unexpected restart"); };
    return options;
  }

  // A run that holds until release is set, then ends with "结果"; restarts are counted.
  CCPUBench::Options HeldRunOptions(std::atomic<bool>& release, int& restarts) {
    CCPUBench::Options options = BaseOptions();
    options.restart = [&restarts] { ++restarts; };
    options.requestToken = GrantedToken;
    options.runExam = [&release](Json::Value, CpuEvents& events, std::stop_token) {
      while (!release) QThread::msleep(5);
      events.Done("结果", "");
      return CpuExamOutcome{true, false, "结果", ""};
    };
    return options;
  }

 private slots:
  void init() {
    historyPath_ = data_.filePath("cputest.bin").toStdString();
    QFile::remove(QString::fromStdString(historyPath_));
  }

  void rowsComeFromTheHistoryAndBrowsingWraps() {
    const long long now = std::time(nullptr);
    std::ofstream(historyPath_, std::ios::binary)
        << "[\r\n" << RecordJson(100, now - 7200) << "\r\n,\r\n" << RecordJson(200, now - 3600)
        << "\r\n,\r\n" << RecordJson(300, now - 120) << "\r\n]";
    sorvanta::testing::MessageRecorder boxes;
    CCPUBench window(nullptr, BaseOptions());
    QVERIFY(boxes.boxes.empty());
    QCOMPARE(window.RecordCount(), 3);
    auto firstValue = [&window] { return window.Rows().at(0).at(1); };
    QCOMPARE(window.Rows().at(0).at(0), QStringLiteral("单核跑分"));
    QCOMPARE(firstValue(), QStringLiteral("300"));  // the newest record first
    QCOMPARE(window.Rows().at(1).at(0), QStringLiteral("核心0跑分"));
    QCOMPARE(window.AgeText(), QStringLiteral("2 分钟前"));
    window.NextButton()->click();  // wraps from the last to the first
    QCOMPARE(firstValue(), QStringLiteral("100"));
    QCOMPARE(window.AgeText(), QStringLiteral("2.0 小时前"));
    window.PreviousButton()->click();  // and back from the first to the last
    QCOMPARE(firstValue(), QStringLiteral("300"));
    window.PreviousButton()->click();
    QCOMPARE(firstValue(), QStringLiteral("200"));
    QCOMPARE(window.AgeText(), QStringLiteral("1.0 小时前"));
    // The four information lines come from the machine readings.
    QVERIFY(window.InfoLine(0).startsWith(QStringLiteral("Test CPU 速度:3.60GHz")));
    QCOMPARE(window.InfoLine(1), QStringLiteral("Vendor Board"));
  }

  // "复制结果" and Ctrl+C put the record on show on the clipboard as the command line prints
  // it; with no record there is nothing to copy and the clipboard stays as it was.
  void copyPutsTheShownResultOnTheClipboard() {
    QApplication::clipboard()->setText(QStringLiteral("before"));
    {
      CCPUBench empty(nullptr, BaseOptions());
      QVERIFY(!empty.CopyAction()->isEnabled());
      empty.CopyResult();
      QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("before"));
    }
    std::ofstream(historyPath_, std::ios::binary) << "[\r\n" << RecordJson(300, std::time(nullptr) - 120) << "\r\n]";
    CCPUBench window(nullptr, BaseOptions());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QVERIFY(window.CopyAction()->isEnabled());
    QCOMPARE(window.CopyAction()->text(), QStringLiteral("复制结果"));
    QTest::keyClick(&window, Qt::Key_C, Qt::ControlModifier);
    const QStringList lines = QApplication::clipboard()->text().split(QLatin1Char('\n'));
    QCOMPARE(lines.at(0), QStringLiteral("CPU信息：") + window.InfoLine(0));
    QCOMPARE(lines.at(1), QStringLiteral("主板信息：Vendor Board"));
    QCOMPARE(lines.at(4), QStringLiteral("项目       数值                 系数"));
    QCOMPARE(lines.at(5), QStringLiteral("单核跑分   300                  1.250"));
    QCOMPARE(lines.at(9), QStringLiteral("倍率       2.00"));
    QCOMPARE(lines.at(lines.size() - 2), QStringLiteral("(2 分钟前)"));
  }

  void emptyOrBrokenHistoryShowsNothingAndBrowsingDoesNothing() {
    for (const char* content : {static_cast<const char*>(nullptr), "", "[{\"singlecore\": 1,"}) {
      if (content) std::ofstream(historyPath_, std::ios::binary) << content;
      sorvanta::testing::MessageRecorder boxes;
      CCPUBench window(nullptr, BaseOptions());
      QCOMPARE(window.ShownIndex(), -1);
      window.PreviousButton()->click();
      window.NextButton()->click();
      QCOMPARE(window.ShownIndex(), -1);
      QVERIFY(window.Rows().empty());
      QVERIFY(window.AgeText().isEmpty());
    }
  }

  void failedMachineReadingsAreReported() {
    sorvanta::testing::MessageRecorder boxes;
    CCPUBench::Options options = BaseOptions();
    options.readMachine = [] {
      sorvanta::cpubench::CpuMachine m = GoodMachine();
      m.boardFound = false;
      m.memoryOk = false;
      return m;
    };
    CCPUBench window(nullptr, options);
    QCOMPARE(boxes.Texts(), (QStringList{"主板信息获取异常！", "内存信息获取异常！"}));
  }

  void declinedConfirmationRequestsNothing() {
    sorvanta::testing::MessageRecorder boxes;
    boxes.answers = {false};
    std::atomic<int> requests{0};
    CCPUBench::Options options = BaseOptions();
    options.requestToken = [&requests](const sorvanta::cpubench::CpuMachine&) {
      ++requests;
      return std::string();
    };
    CCPUBench window(nullptr, options);
    window.StartButton()->click();
    QCOMPARE(boxes.boxes.size(), size_t(1));
    QCOMPARE(boxes.boxes[0].caption, QStringLiteral("CPU跑分"));
    QVERIFY(boxes.boxes[0].yesNo);
    QCOMPARE(requests.load(), 0);
    QCOMPARE(window.CurrentState(), State::kIdle);
    QVERIFY(window.StartButton()->isEnabled());
  }

  // No service listening: one line naming the server and what happened, and back to Idle
  // with "跑分" enabled. The window keeps painting meanwhile: the box is up while the
  // request is on its way.
  void unreachableServiceShowsTheCommunicationError() {
    const std::string address = "127.0.0.1:" + std::to_string(sorvanta::testing::UnusedLoopbackPort());
    sorvanta::testing::ScopedEnvVar url("SORVANTA_SERVICE_URL", "https://" + address + "/");
    sorvanta::testing::MessageRecorder boxes;
    CCPUBench window(nullptr, BaseOptions());
    window.show();
    window.StartButton()->click();
    QCOMPARE(window.CurrentState(), State::kRequesting);
    QVERIFY(!window.StartButton()->isEnabled());
    QVERIFY(LoadingBoxVisible());
    window.reject();  // ignored while the request is under way
    QVERIFY(window.isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(window.CurrentState(), State::kIdle, sorvanta::testing::ScaledMs(10000));
    QVERIFY(!LoadingBoxVisible());
    QCOMPARE(boxes.boxes.size(), size_t(2));
    QCOMPARE(boxes.boxes[1].text, QString::fromStdString("无法连接服务器 " + address + "：连接被拒绝（服务没有运行？）"));
    QCOMPARE(boxes.boxes[1].caption, QStringLiteral("错误"));
    QCOMPARE(boxes.boxes[1].icon, sorvanta::ui::MessageIcon::kError);
    QVERIFY(window.StartButton()->isEnabled());
  }

#ifdef SORVANTA_HAVE_SERVER
  // The reference service turns a machine away once its token allowance is spent.
  void referenceServiceRefusalKeepsTheStartDisabled() {
    sorvanta::server::ServiceOptions serviceOptions;
    serviceOptions.rateLimitTokens = 1;
    sorvanta::testing::LocalService service(serviceOptions);
    if (!service.ok()) QFAIL(service.error().c_str());
    const sorvanta::cpubench::CpuMachine machine = sorvanta::cpubench::ReadCpuMachine();
    QVERIFY(sorvanta::IsValidExamCredential(sorvanta::RequestExamToken(machine.brandString, machine.machineId, machine.logicalCores).value_or("")));  // the allowance
    sorvanta::testing::MessageRecorder boxes;
    CCPUBench::Options options = BaseOptions();
    options.readMachine = [machine] { return machine; };
    CCPUBench window(nullptr, options);
    window.StartButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(window.CurrentState(), State::kRefused, sorvanta::testing::ScaledMs(10000));
    QCOMPARE(boxes.boxes.back().text,
             QStringLiteral("服务器拒绝了请求：本机在10分钟内的跑分次数已达服务器对本机的上限，请在10分钟后再试"));
    QVERIFY(!window.StartButton()->isEnabled());
  }

  // A clock far off and a garbled body are refused with an empty reply, as before, but the
  // window shows the service's reason instead of blaming the network.
  void referenceServiceRefusalsSayWhy() {
    sorvanta::testing::LocalService service;
    if (!service.ok()) QFAIL(service.error().c_str());
    const sorvanta::cpubench::CpuMachine machine = sorvanta::cpubench::ReadCpuMachine();
    const auto skewed = sorvanta::BuildTokenRequestBody(
        sorvanta::BuildDeviceFingerprint(machine.brandString, machine.machineId, std::time(nullptr) - 3600), 1);
    const std::pair<std::string, QString> cases[] = {
        {skewed, QStringLiteral("服务器拒绝了请求：本机时钟与服务器相差超过10分钟，请校准时间后再试")},
        {std::string(88, '!'), QStringLiteral("服务器拒绝了请求：请求内容格式错误，无法解读本机信息")},
    };
    for (const auto& [body, text] : cases) {
      sorvanta::testing::MessageRecorder boxes;
      CCPUBench::Options options = BaseOptions();
      options.readMachine = [machine] { return machine; };
      options.requestToken = [body](const sorvanta::cpubench::CpuMachine&) {
        sorvanta::TokenReply reply;
        reply.url = sorvanta::ServiceUrl("sorvanta/getTokenV3");
        auto answer = sorvanta::ServicePostForReply(reply.url, body);
        if (answer.ok()) {
          reply.body = answer->body;
          reply.refusal = answer->refusal;
        }
        return reply;
      };
      CCPUBench window(nullptr, options);
      window.StartButton()->click();
      QTRY_VERIFY_WITH_TIMEOUT(!boxes.boxes.empty() && boxes.boxes.back().icon == sorvanta::ui::MessageIcon::kError,
                               sorvanta::testing::ScaledMs(10000));
      QCOMPARE(boxes.boxes.back().text, text);
      QCOMPARE(window.CurrentState(), State::kIdle);
    }
  }
#endif

  // Closing, Esc and Enter during a run ask first; No keeps the window, Yes restarts.
  void closingDuringARunAsksAndYesRestarts() {
    sorvanta::testing::MessageRecorder boxes;
    std::atomic<bool> release{false};
    std::atomic<bool> ended{false};
    std::string deviceToken;
    int restarts = 0;
    CCPUBench::Options options = BaseOptions();
    options.requestToken = GrantedToken;
    options.restart = [&restarts] { ++restarts; };
    options.runExam = [&](Json::Value device, CpuEvents& events, std::stop_token) {
      deviceToken = device["token"].asString();
      events.Status("工作中");
      events.Progress(40);
      while (!release) QThread::msleep(5);
      events.Done("结果文本", "");
      ended = true;
      return CpuExamOutcome{true, false, "结果文本", ""};
    };
    CCPUBench window(nullptr, options);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.StartButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(window.CurrentState(), State::kRunning, sorvanta::testing::ScaledMs(10000));
    QTRY_COMPARE(window.ProgressValue(), 40);
    QCOMPARE(deviceToken, std::string("AAAAAAAAAAAAAAAAAAAAAAA=||p1||p2"));

    boxes.answers = {false, false, false, true};
    window.close();
    QTest::keyClick(&window, Qt::Key_Escape);
    window.PreviousButton()->setFocus();
    QTest::keyClick(window.PreviousButton(), Qt::Key_Return);
    QVERIFY(window.isVisible());
    QCOMPARE(restarts, 0);
    window.close();
    QCOMPARE(restarts, 1);
    for (size_t i = 1; i < boxes.boxes.size(); ++i) {
      QCOMPARE(boxes.boxes[i].caption, QStringLiteral("警告"));
      QVERIFY(boxes.boxes[i].text.startsWith(QStringLiteral("正在跑分，强行中止吗？")));
    }
    QCOMPARE(boxes.boxes.size(), size_t(5));

    release = true;
    QTRY_VERIFY(ended.load());
    QTRY_COMPARE(window.CurrentState(), State::kIdle);
    QVERIFY(window.LogText().endsWith(QStringLiteral("工作中\n---------跑分结果---------\n结果文本")));
    QVERIFY(window.StartButton()->isEnabled());
  }

  // The real force-stop question: Enter picks "否", so the run goes on and nothing restarts.
  void enterAtTheForceStopQuestionKeepsTheRun() {
    std::atomic<bool> release{false};
    int restarts = 0;
    CCPUBench::Options options = HeldRunOptions(release, restarts);
    CCPUBench window(nullptr, options);
    {
      sorvanta::testing::MessageRecorder yesToStart;
      window.show();
      window.StartButton()->click();
      QTRY_COMPARE_WITH_TIMEOUT(window.CurrentState(), State::kRunning, sorvanta::testing::ScaledMs(10000));
    }
    EnterOnNextBox enter;
    window.close();
    QCOMPARE(enter.defaultText, QStringLiteral("否(&N)"));
    QVERIFY(window.isVisible());
    QCOMPARE(restarts, 0);
    release = true;
    QTRY_COMPARE(window.CurrentState(), State::kIdle);
  }

  // The run ends while the close question is up: Yes then just closes, no restart.
  void runEndingDuringTheCloseQuestionClosesWithoutRestart() {
    std::atomic<bool> release{false};
    int restarts = 0;
    CCPUBench::Options options = HeldRunOptions(release, restarts);
    CCPUBench window(nullptr, options);
    sorvanta::ui::SetMessageHandler([&](QWidget*, const sorvanta::ui::MessageRequest& request) {
      if (request.caption == QStringLiteral("警告")) {
        release = true;
        QDeadlineTimer deadline(10000);
        while (window.CurrentState() != State::kIdle && !deadline.hasExpired()) {
          QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
      }
      return true;
    });
    window.show();
    window.StartButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(window.CurrentState(), State::kRunning, sorvanta::testing::ScaledMs(10000));
    window.close();
    sorvanta::ui::SetMessageHandler(nullptr);
    QCOMPARE(restarts, 0);
    QVERIFY(!window.isVisible());
  }

  // A window destroyed under a running session: the worker's later messages (waiting and
  // queued) are dropped, nothing deadlocks and the worker ends.
  void destroyingTheWindowDuringARunIsSafe() {
    sorvanta::testing::MessageRecorder boxes;
    std::atomic<int> sent{0};
    std::atomic<bool> ended{false};
    CCPUBench::Options options = BaseOptions();
    options.requestToken = GrantedToken;
    options.runExam = [&](Json::Value, CpuEvents& events, std::stop_token) {
      for (int i = 0; i < 400; ++i) {
        events.Status("line " + std::to_string(i));
        events.Progress(i % 101);
        ++sent;
        QThread::usleep(200);
      }
      events.Done("done", "");
      ended = true;
      return CpuExamOutcome{true, false, "done", ""};
    };
    auto* window = new CCPUBench(nullptr, options);
    window->StartButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(sent.load() > 20, sorvanta::testing::ScaledMs(10000));
    delete window;
    QTRY_VERIFY_WITH_TIMEOUT(ended.load(), sorvanta::testing::ScaledMs(10000));
    QCoreApplication::processEvents();  // queued calls of the gone window run harmlessly
  }

#ifdef SORVANTA_HAVE_SERVER
  // A whole run against the reference service with a short exam: the result under the
  // header, the new record shown, "跑分" enabled again.
  void wholeRunShowsTheResultAndTheNewestRecord() {
    sorvanta::server::ServiceOptions serviceOptions;
    serviceOptions.examBudgetMs = 300;
    sorvanta::testing::LocalService service(serviceOptions);
    if (!service.ok()) QFAIL(service.error().c_str());
    // The session stores its record in the local application-data folder.
    QTemporaryDir home;
    sorvanta::testing::ScopedEnvVar dataHome("XDG_DATA_HOME", home.path().toStdString());
    sorvanta::testing::MessageRecorder boxes;
    CCPUBench::Options options;
    options.restart = [] {};
    options.runExam = [](Json::Value device, CpuEvents& events, std::stop_token stop) {
      sorvanta::cpubench::CpuExamOptions exam;
      exam.examBudgetMs = 300;
      exam.paceStepMs = 40;
      return sorvanta::cpubench::RunCpuExamSession(std::move(device), exam, events, stop);
    };
    CCPUBench window(nullptr, options);
    window.show();
    const size_t boxesBefore = boxes.boxes.size();  // the machine readings may have said something
    window.StartButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(window.CurrentState(), State::kRunning, sorvanta::testing::ScaledMs(10000));
    QTRY_COMPARE_WITH_TIMEOUT(window.CurrentState(), State::kIdle, sorvanta::testing::ScaledMs(20000));
    const QString log = window.LogText();
    QVERIFY2(log.contains(QStringLiteral("请求试卷中....")), qPrintable(log));
    const QString result = log.section(QStringLiteral("---------跑分结果---------\n"), -1);
    QVERIFY2(log.contains(QStringLiteral("---------跑分结果---------\n")) && !result.isEmpty(),
             qPrintable(log));
    QVERIFY2(QFile::exists(home.filePath("sorvanta/cputest.bin")), qPrintable(log));
    QCOMPARE(window.RecordCount(), 1);
    QCOMPARE(window.ShownIndex(), 0);
    QCOMPARE(window.Rows().at(0).at(0), QStringLiteral("单核跑分"));
    QVERIFY(window.Rows().at(0).at(1).toInt() > 0);
    QCOMPARE(window.AgeText(), QStringLiteral("刚刚"));
    QCOMPARE(window.ProgressValue(), 100);
    QVERIFY(window.StartButton()->isEnabled());
    QCOMPARE(boxes.boxes.size(), boxesBefore + 1);  // only the confirmation
  }
#endif
};

QTEST_MAIN(CpuBenchTest)
#include "cpu_bench_test.moc"
