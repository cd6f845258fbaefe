// Reference USB power switch server, for the Raspberry Pi the endurance test talks to.
//
// It accepts one command per TCP connection: "USBOFF" or "USBON" (no line end needed;
// trailing blanks and line ends are tolerated so that netcat works too), runs the shell
// command configured for it (for example a uhubctl line), answers a short status text and
// closes. Connections are served one at a time, so two commands never overlap.
// Header-only so that the tests can drive it in-process.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <boost/asio.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>

namespace sorvanta::tools {

struct SwitchServerConfig {
  std::string bind = "0.0.0.0";  // address to listen on
  int port = 5000;               // 0 picks a free port
  std::string offCommand;        // shell command for "USBOFF"; empty: do nothing
  std::string onCommand;         // shell command for "USBON"; empty: do nothing
  uint32_t readTimeoutMs = 5000; // a client that sends nothing is dropped after this
  bool quiet = false;            // no log lines on standard output
};

// Runs a command line through /bin/sh; returns its exit status (-1 when it cannot run).
inline int RunShellCommand(const std::string& command) {
  int status = std::system(command.c_str());
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class UsbSwitchServer {
 public:
  using Runner = std::function<int(const std::string&)>;

  explicit UsbSwitchServer(SwitchServerConfig config, Runner runner = RunShellCommand)
      : config_(std::move(config)), runner_(std::move(runner)), acceptor_(io_) {}

  // Binds and listens; false with the reason in *error.
  bool Listen(std::string* error) {
    using boost::asio::ip::tcp;
    boost::system::error_code ec;
    auto address = boost::asio::ip::make_address(config_.bind, ec);
    if (ec || config_.port < 0 || config_.port > 65535) {
      *error = "invalid address " + config_.bind + ":" + std::to_string(config_.port);
      return false;
    }
    tcp::endpoint endpoint(address, static_cast<unsigned short>(config_.port));
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(16, ec);
    if (ec) {
      *error = ec.message();
      return false;
    }
    return true;
  }

  int port() const {
    boost::system::error_code ec;
    auto endpoint = acceptor_.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
  }

  // The answer to one request, after running the matching command.
  std::string Handle(std::string request) {
    while (!request.empty() && (request.back() == '\n' || request.back() == '\r' || request.back() == ' '))
      request.pop_back();
    const std::string* command = nullptr;
    if (request == "USBOFF") command = &config_.offCommand;
    else if (request == "USBON") command = &config_.onCommand;
    else return "ERR unknown command";
    if (command->empty()) return request + " OK";
    int status = runner_(*command);
    return status == 0 ? request + " OK" : request + " ERR " + std::to_string(status);
  }

  // Accepts one connection, answers it and closes it; false once the listening socket is
  // closed. A failed accept of one connection (a client that gave up, no file descriptor
  // free for a moment) is logged and does not end the service.
  bool ServeOne() {
    boost::system::error_code ec;
    boost::asio::ip::tcp::socket socket(io_);
    acceptor_.accept(socket, ec);
    if (ec) {
      if (!acceptor_.is_open() || ec == boost::asio::error::operation_aborted ||
          ec == boost::asio::error::bad_descriptor)
        return false;
      Log("accept: " + ec.message());
      ::usleep(100000);  // a lack of descriptors lasts a moment; do not spin on it
      return true;
    }
    std::string peer = PeerText(socket);

    // The command arrives in one short send; wait a bounded time for it.
    int fd = socket.native_handle();
    timeval tv{static_cast<time_t>(config_.readTimeoutMs / 1000),
               static_cast<suseconds_t>((config_.readTimeoutMs % 1000) * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char buf[64];
    ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) {
      Log(peer + ": no command");
      return true;
    }
    std::string request(buf, static_cast<size_t>(n));
    std::string reply = Handle(request);
    Log(peer + ": " + Printable(request) + " -> " + reply);
    boost::asio::write(socket, boost::asio::buffer(reply), ec);
    socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
    socket.close(ec);
    return true;
  }

  // Serves connections until accepting fails.
  void Serve() {
    while (ServeOne()) {
    }
  }

  void Close() {
    boost::system::error_code ec;
    acceptor_.close(ec);
  }

 private:
  static std::string PeerText(boost::asio::ip::tcp::socket& socket) {
    boost::system::error_code ec;
    auto endpoint = socket.remote_endpoint(ec);
    return ec ? std::string("?") : endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
  }

  static std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
    return out;
  }

  void Log(const std::string& line) {
    if (config_.quiet) return;
    std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::printf("[%s] %s\n", stamp, line.c_str());
    std::fflush(stdout);
  }

  SwitchServerConfig config_;
  Runner runner_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
};

}  // namespace sorvanta::tools
