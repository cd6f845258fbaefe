// Notice of volumes coming and going: the Linux stand-in for the device-change message.
// A thread polls the mount table (POLLPRI on /proc/self/mountinfo) and calls back on every
// change of it.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace sorvanta::platform {

class MountWatch {
 public:
  // Starts watching; onChange runs on the watcher's own thread after each change of the
  // mount table. Check ok(): false when the table cannot be opened.
  explicit MountWatch(std::function<void()> onChange, const std::string& mountInfoPath = "/proc/self/mountinfo");
  ~MountWatch();  // stops the thread and waits for it (not from inside onChange)
  MountWatch(const MountWatch&) = delete;
  MountWatch& operator=(const MountWatch&) = delete;

  bool ok() const { return tableFd_ >= 0 && wakeFd_ >= 0; }

 private:
  void Watch();

  std::function<void()> onChange_;
  int tableFd_ = -1;
  int wakeFd_ = -1;  // eventfd that ends the watch
  std::thread thread_;
};

}  // namespace sorvanta::platform
