// Carries calls from any thread to the window thread of one window.
//
// Every window adapter that engines call from their own threads (benchmark sinks,
// reporters) posts through one QueuedCalls, so that the lifetime rule below holds for all
// of them:
//
// - A posted call runs on the window thread, in posting order, and only while the window
//   exists and Detach has not been called; afterwards it is dropped.
// - With wait, the posting thread resumes once the call ran or was dropped, and at once
//   when Detach is called, so a window may wait for an engine thread after detaching. A
//   post from the window thread itself runs at once (a blocking hop would deadlock).
// - Calls already on their way stay safe when the QueuedCalls object itself is destroyed:
//   the window check lives in a shared block each hop holds. What the call captures must
//   stay valid until it runs: capture values or shared owners, not raw pointers.
// - The window thread never waits for an engine thread, so a waiting post cannot deadlock
//   as long as the window thread keeps its event loop running.
#pragma once

#include <functional>
#include <memory>

class QWidget;

namespace sorvanta::ui {

class QueuedCalls {
 public:
  // Call on the window thread; window may be null (every call is then dropped).
  explicit QueuedCalls(QWidget* window);
  ~QueuedCalls();
  QueuedCalls(const QueuedCalls&) = delete;
  QueuedCalls& operator=(const QueuedCalls&) = delete;

  // Any thread: runs call on the window thread under the rule above.
  void Post(std::function<void()> call, bool wait) const;
  // Any thread: like Post without waiting, but a call from the window thread also waits for
  // the event loop instead of running at once (for work that must follow the current handler).
  void PostLater(std::function<void()> call) const;
  // Window thread: drops every call that has not run yet and every later one.
  void Detach();

 private:
  struct Target;
  std::shared_ptr<Target> target_;
};

}  // namespace sorvanta::ui
