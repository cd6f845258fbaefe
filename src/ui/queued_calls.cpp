#include "ui/queued_calls.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <QWidget>

namespace sorvanta::ui {

// The window as the window thread sees it; read and cleared only there.
struct QueuedCalls::Target {
  QPointer<QWidget> window;
};

QueuedCalls::QueuedCalls(QWidget* window) : target_(std::make_shared<Target>()) {
  target_->window = window;
}

QueuedCalls::~QueuedCalls() = default;

void QueuedCalls::Detach() { target_->window.clear(); }

void QueuedCalls::Post(std::function<void()> call, bool wait) const {
  auto guarded = [target = target_, call = std::move(call)] {
    if (target->window) call();
  };
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  if (QThread::currentThread() == app->thread()) {
    guarded();
    return;
  }
  // The application object outlives every window, so it is a safe target for the hop;
  // the window itself is checked on its own thread, where it can be destroyed.
  QMetaObject::invokeMethod(app, std::move(guarded),
                            wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

}  // namespace sorvanta::ui
