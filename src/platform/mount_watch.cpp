#include "platform/mount_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace sorvanta::platform {

MountWatch::MountWatch(std::function<void()> onChange, const std::string& mountInfoPath)
    : onChange_(std::move(onChange)) {
  tableFd_ = ::open(mountInfoPath.c_str(), O_RDONLY | O_CLOEXEC);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
  if (ok()) thread_ = std::thread([this] { Watch(); });
}

MountWatch::~MountWatch() {
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd_, &one, sizeof(one));
    (void)ignored;
  }
  if (thread_.joinable()) thread_.join();
  if (tableFd_ >= 0) ::close(tableFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void MountWatch::Watch() {
  // Opening the table records its state; poll reports POLLPRI once per later change.
  for (;;) {
    pollfd fds[2] = {{tableFd_, POLLPRI, 0}, {wakeFd_, POLLIN, 0}};
    int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents & POLLIN) return;
    if (fds[0].revents & (POLLPRI | POLLERR)) onChange_();
  }
}

}  // namespace sorvanta::platform
