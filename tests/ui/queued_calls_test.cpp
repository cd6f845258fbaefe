// Calls from engine threads to a window: they run on the window thread, a waiting post
// resumes only after its call, and nothing reaches a window that is gone.
#include <QApplication>
#include <QThread>
#include <QWidget>
#include <QtTest>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "ui/queued_calls.h"

using sorvanta::ui::QueuedCalls;

class QueuedCallsTest : public QObject {
  Q_OBJECT

 private slots:
  void callsRunOnTheWindowThreadInOrderAndWaitingPostsResumeAfterTheirCall() {
    QWidget window;
    QueuedCalls calls(&window);
    QThread* windowThread = QThread::currentThread();
    std::vector<int> seen;  // touched only on the window thread
    std::atomic<bool> allOnWindowThread{true};
    std::atomic<bool> waitedCallRan{false};
    std::atomic<bool> seenAfterWait{false};
    std::atomic<bool> workerDone{false};

    std::thread worker([&] {
      for (int i = 0; i < 3; ++i) {
        calls.Post([&, i] {
          if (QThread::currentThread() != windowThread) allOnWindowThread = false;
          seen.push_back(i);
        }, false);
      }
      calls.Post([&] {
        if (QThread::currentThread() != windowThread) allOnWindowThread = false;
        seen.push_back(3);
        waitedCallRan = true;
      }, true);
      seenAfterWait = waitedCallRan.load();
      workerDone = true;
    });
    QTRY_VERIFY(workerDone.load());
    worker.join();
    QVERIFY(seenAfterWait.load());
    QVERIFY(allOnWindowThread.load());
    QCOMPARE(seen, (std::vector<int>{0, 1, 2, 3}));

    // From the window thread a post runs at once, waiting or not, without a deadlock.
    bool ranInline = false;
    calls.Post([&] { ranInline = true; }, true);
    QVERIFY(ranInline);
  }

  void nothingRunsOnceTheWindowIsGoneOrDetached() {
    std::atomic<int> ran{0};
    auto window = std::make_unique<QWidget>();
    auto calls = std::make_unique<QueuedCalls>(window.get());

    // Queued before the window dies, run after: dropped.
    std::thread([&] { calls->Post([&] { ++ran; }, false); }).join();
    window.reset();
    QCoreApplication::processEvents();
    QCOMPARE(ran.load(), 0);

    // A waiting post to a window that is gone returns without running its call.
    std::atomic<bool> returned{false};
    std::thread late([&] {
      calls->Post([&] { ++ran; }, true);
      returned = true;
    });
    QTRY_VERIFY(returned.load());
    late.join();
    QCOMPARE(ran.load(), 0);

    // The helper may go before its calls arrive; they still reach a live window.
    QWidget live;
    auto liveCalls = std::make_unique<QueuedCalls>(&live);
    std::thread([&] { liveCalls->Post([&] { ++ran; }, false); }).join();
    liveCalls.reset();
    QTRY_COMPARE(ran.load(), 1);

    // Detach drops calls already under way as well as later ones.
    QueuedCalls detached(&live);
    std::thread([&] { detached.Post([&] { ++ran; }, false); }).join();
    detached.Detach();
    returned = false;
    std::thread afterDetach([&] {
      detached.Post([&] { ++ran; }, true);
      returned = true;
    });
    QTRY_VERIFY(returned.load());
    afterDetach.join();
    QCOMPARE(ran.load(), 1);
  }

  // Detach releases a poster that waits for a window thread that no longer runs events (so the
  // window may then wait for that poster's thread); PostLater runs after the current handler.
  void detachReleasesWaitingPostersAndPostLaterDefers() {
    QWidget window;
    QueuedCalls calls(&window);
    std::atomic<int> ran{0};
    std::thread worker([&] { calls.Post([&] { ++ran; }, true); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the poster is waiting now
    calls.Detach();
    worker.join();  // no event is processed meanwhile
    QCoreApplication::processEvents();
    QCOMPARE(ran.load(), 0);

    QueuedCalls live(&window);
    live.PostLater([&] { ++ran; });
    QCOMPARE(ran.load(), 0);
    QTRY_COMPARE(ran.load(), 1);
  }
};

QTEST_MAIN(QueuedCallsTest)
#include "queued_calls_test.moc"
