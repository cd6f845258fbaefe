// Helpers shared by the window tests: answered message boxes, temporary folders and the
// reference service on loopback.
#pragma once

#include "support/deadline.h"
#include "support/scoped_env_var.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>
#include <QTemporaryDir>
#include <QtTest/QTest>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/message_box.h"

#ifdef SORVANTA_HAVE_SERVER
#include "server/reference_service.h"
#endif

// Qt's waiting checks give up after 5 s; here that deadline stretches with
// SORVANTA_TEST_TIME_SCALE like every other wait of the tests.
#undef QTRY_VERIFY
#define QTRY_VERIFY(expr) QTRY_VERIFY_WITH_TIMEOUT(expr, ::sorvanta::testing::ScaledMs(5000))
#undef QTRY_VERIFY2
#define QTRY_VERIFY2(expr, message) QTRY_VERIFY2_WITH_TIMEOUT(expr, message, ::sorvanta::testing::ScaledMs(5000))
#undef QTRY_COMPARE
#define QTRY_COMPARE(expr, expected) QTRY_COMPARE_WITH_TIMEOUT(expr, expected, ::sorvanta::testing::ScaledMs(5000))

namespace sorvanta::testing {

// Records every message box instead of showing it; questions are answered from a queue
// (Yes when the queue is empty). whileOpen, when set, runs while a box is up, as the event
// loop of a real box would let the program go on meanwhile.
class MessageRecorder {
 public:
  MessageRecorder() {
    ui::SetMessageHandler([this](QWidget*, const ui::MessageRequest& request) {
      boxes.push_back(request);
      if (whileOpen) whileOpen(request);
      if (answers.empty()) return true;
      bool answer = answers.front();
      answers.pop_front();
      return answer;
    });
  }
  ~MessageRecorder() { ui::SetMessageHandler(nullptr); }
  MessageRecorder(const MessageRecorder&) = delete;
  MessageRecorder& operator=(const MessageRecorder&) = delete;

  QStringList Texts() const {
    QStringList texts;
    for (const auto& box : boxes) texts << box.text;
    return texts;
  }

  std::vector<ui::MessageRequest> boxes;
  std::deque<bool> answers;
  std::function<void(const ui::MessageRequest&)> whileOpen;
};

#ifdef SORVANTA_HAVE_SERVER
// The reference service in-process on a free loopback port, with its own data folder
// and the client pointed at it.
class LocalService {
 public:
  explicit LocalService(server::ServiceOptions options = server::ServiceOptions()) {
    options.port = 0;
    options.dataDir = data_.path().toStdString();
    service_ = server::ReferenceService::Start(options, &error_);
    if (service_) url_ = std::make_unique<ScopedEnvVar>("SORVANTA_SERVICE_URL", service_->BaseUrl());
  }
  bool ok() const { return service_ != nullptr; }
  const std::string& error() const { return error_; }
  std::string BaseUrl() const { return service_ ? service_->BaseUrl() : std::string(); }
  // Its data folder, which holds the CA certificate "ca.pem" clients verify it with.
  std::string DataDir() const { return data_.path().toStdString(); }

 private:
  QTemporaryDir data_;
  std::string error_;
  std::unique_ptr<server::ReferenceService> service_;
  std::unique_ptr<ScopedEnvVar> url_;
};
#endif


// For a window that a blocking call made right after this opens (a modal tool window, a
// click that returns only when it closes): runs action on the first visible top-level
// widget for which match holds, looking every 10 ms. When none shows within deadlineMs
// (scaled with SORVANTA_TEST_TIME_SCALE), *missed is set and giveUp runs (by default the active modal window is rejected), so that
// the blocking call returns and the test fails at once instead of hanging.
inline void WhenShown(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> action, bool* missed,
                      std::function<void()> giveUp = nullptr, int deadlineMs = 10000) {
  auto* timer = new QTimer;
  auto* clock = new QElapsedTimer;
  clock->start();
  deadlineMs = ScaledMs(deadlineMs);
  *missed = false;
  QObject::connect(timer, &QTimer::timeout, [=] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->isVisible() && match(w)) {
        timer->stop();
        timer->deleteLater();
        delete clock;
        action(w);
        return;
      }
    }
    if (clock->elapsed() > deadlineMs) {
      timer->stop();
      timer->deleteLater();
      delete clock;
      *missed = true;
      if (giveUp) {
        giveUp();
      } else if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        modal->reject();
      }
    }
  });
  timer->start(10);
}

}  // namespace sorvanta::testing
