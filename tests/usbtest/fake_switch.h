// A switch on loopback for the tests: accepts connections one at a time, records every byte
// each connection sends, and answers as its handler says.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sorvanta::testing {

class FakeSwitch {
 public:
  // Handler results with a special meaning.
  static constexpr const char* kCloseSilently = "\x01close";  // close without a word
  static constexpr const char* kNeverAnswer = "\x01hang";     // hold the connection open, say nothing

  using Handler = std::function<std::string(const std::string& request)>;

  // Listens on 127.0.0.1 at port (0: any free port).
  explicit FakeSwitch(Handler handler, int port = 0) : handler_(std::move(handler)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd_, 8) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    socklen_t len = sizeof(addr);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Loop(); });
  }

  ~FakeSwitch() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }

  bool ok() const { return fd_ >= 0; }
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  // Everything each finished connection sent, in order.
  std::vector<std::string> Received() {
    std::lock_guard<std::mutex> l(mu_);
    return received_;
  }

  // Received(), once count connections have finished (the switch records a connection only
  // after the client closed it, which may be after the client already has its reply).
  std::vector<std::string> ReceivedAfter(size_t count, int timeoutMs = 2000) {
    for (int waited = 0; waited < timeoutMs; waited += 5) {
      {
        std::lock_guard<std::mutex> l(mu_);
        if (received_.size() >= count) return received_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return Received();
  }

  // A port on loopback that nobody listens on (just released).
  static int UnusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
  }

 private:
  // Waits for fd to become readable; false when stopping.
  bool WaitReadable(int fd) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) return true;
    }
    return false;
  }

  void Loop() {
    while (WaitReadable(fd_)) {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      std::string got;
      char buf[256];
      ssize_t n = WaitReadable(c) ? ::recv(c, buf, sizeof(buf), 0) : 0;
      if (n > 0) got.assign(buf, static_cast<size_t>(n));
      std::string reply = handler_(got);
      if (reply == kNeverAnswer) {
        // Say nothing until the client gives up (or the test ends).
      } else if (reply != kCloseSilently) {
        ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
      // Record whatever else arrives until the client closes.
      while (reply != kCloseSilently && WaitReadable(c)) {
        n = ::recv(c, buf, sizeof(buf), 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
      }
      ::close(c);
      std::lock_guard<std::mutex> l(mu_);
      received_.push_back(got);
    }
  }

  Handler handler_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::string> received_;
};

}  // namespace sorvanta::testing
