#include "ui/queued_calls.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <QWidget>
#include <condition_variable>
#include <mutex>

namespace sorvanta::ui {

// The window as the window thread sees it (read and cleared only there), and the state
// that releases waiting posters.
struct QueuedCalls::Target {
  QPointer<QWidget> window;
  std::mutex mu;
  std::condition_variable cv;
  bool detached = false;
};

QueuedCalls::QueuedCalls(QWidget* window) : target_(std::make_shared<Target>()) {
  target_->window = window;
}

QueuedCalls::~QueuedCalls() = default;

void QueuedCalls::Detach() {
  target_->window.clear();
  std::lock_guard<std::mutex> lock(target_->mu);
  target_->detached = true;
  target_->cv.notify_all();
}

void QueuedCalls::Post(std::function<void()> call, bool wait) const {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  std::shared_ptr<Target> target = target_;
  if (QThread::currentThread() == app->thread()) {
    if (target->window) call();
    return;
  }
  if (!wait) {
    PostLater(std::move(call));
    return;
  }
  // The application object outlives every window, so it is a safe target for the hop;
  // the window itself is checked on its own thread, where it can be destroyed.
  auto done = std::make_shared<bool>(false);
  QMetaObject::invokeMethod(
      app,
      [target, done, call = std::move(call)] {
        if (target->window) call();
        std::lock_guard<std::mutex> lock(target->mu);
        *done = true;
        target->cv.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(target->mu);
  target->cv.wait(lock, [&] { return *done || target->detached; });
}

void QueuedCalls::PostLater(std::function<void()> call) const {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  QMetaObject::invokeMethod(
      app, [target = target_, call = std::move(call)] {
        if (target->window) call();
      },
      Qt::QueuedConnection);
}

}  // namespace sorvanta::ui
