#include "usbtest/switch_link.h"

#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <boost/asio.hpp>
#include <chrono>
#include <cstdio>

#include "base/text.h"

namespace sorvanta::usbtest {

using boost::asio::ip::tcp;

bool SplitSwitchAddress(const std::string& address, std::string* host, int* port) {
  std::vector<std::string> pieces = SplitPieces(address, ":");
  if (pieces.size() != 2) return false;
  int value = 0;
  if (std::sscanf(pieces[1].c_str(), "%d", &value) != 1) value = 0;
  *host = pieces[0];
  *port = value;
  return true;
}

struct SwitchLinkClient::Impl {
  boost::asio::io_context io;
  std::unique_ptr<tcp::socket> socket;
};

SwitchLinkClient::SwitchLinkClient(const std::string& address, SwitchLinkOptions options)
    : options_(std::move(options)), impl_(std::make_unique<Impl>()) {
  SplitSwitchAddress(address, &host_, &port_);
}

SwitchLinkClient::SwitchLinkClient(std::string host, int port, SwitchLinkOptions options)
    : host_(std::move(host)), port_(port), options_(std::move(options)), impl_(std::make_unique<Impl>()) {}

SwitchLinkClient::~SwitchLinkClient() { Close(); }

void SwitchLinkClient::Fail(const std::string& what) {
  lastError_ = what;
  if (options_.errorOutput) options_.errorOutput(what);
}

bool SwitchLinkClient::Connect() {
  if (impl_->socket) Close();
  lastError_.clear();
  boost::system::error_code ec;
  tcp::resolver resolver(impl_->io);

  // The host's address as text; the host text itself when no lookup yields one.
  std::string address = host_;
  for (int attempt = 0; attempt < 3; ++attempt) {
    auto results = resolver.resolve(host_, "http", ec);
    if (!ec && !results.empty()) {
      address = results.begin()->endpoint().address().to_string();
      break;
    }
  }

  if (port_ < 0 || port_ > 65535) {
    Fail("switch " + host_ + ": invalid port " + std::to_string(port_));
    return false;
  }
  auto results = resolver.resolve(address, std::to_string(port_), ec);
  if (ec || results.empty()) {
    Fail("switch " + host_ + ":" + std::to_string(port_) + ": " +
         (ec ? ec.message() : std::string("no address")));
    return false;
  }
  tcp::endpoint endpoint = results.begin()->endpoint();

  auto socket = std::make_unique<tcp::socket>(impl_->io);
  socket->connect(endpoint, ec);
  if (ec) {
    Fail("switch " + endpoint.address().to_string() + ":" + std::to_string(endpoint.port()) + ": " +
         ec.message());
    return false;
  }
  impl_->socket = std::move(socket);
  return true;
}

bool SwitchLinkClient::Exchange(const std::string& request, std::string* reply, bool sendOnly) {
  if (!impl_->socket) {
    Fail("switch " + host_ + ": not connected");
    return false;
  }
  boost::system::error_code ec;
  boost::asio::write(*impl_->socket, boost::asio::buffer(request), ec);
  if (ec) {
    Fail("switch send: " + ec.message());
    Close();
    return false;
  }
  if (sendOnly) return true;

  // One receive of the first chunk, bounded in time: a switch that accepts and never
  // answers must not hold the caller forever.
  char buf[128];
  bool done = false;
  size_t got = 0;
  impl_->socket->async_read_some(boost::asio::buffer(buf, sizeof(buf)),
                                 [&](const boost::system::error_code& e, size_t n) {
                                   done = true;
                                   got = e ? 0 : n;
                                 });
  impl_->io.restart();
  impl_->io.run_for(std::chrono::milliseconds(options_.receiveTimeoutMs));
  if (!done) {
    impl_->socket->close(ec);  // aborts the pending receive
    impl_->io.restart();
    impl_->io.run();
    impl_->socket.reset();
    Fail("switch receive: no answer within " + std::to_string(options_.receiveTimeoutMs) + " ms");
    return false;
  }
  if (got > 0) reply->assign(buf, got);
  return true;
}

bool SwitchLinkClient::Close() {
  if (!impl_->socket) return false;
  boost::system::error_code ec;
  impl_->socket->shutdown(tcp::socket::shutdown_both, ec);
  impl_->socket->close(ec);
  impl_->socket.reset();
  return true;
}

bool SendSwitchCommand(const std::string& address, const std::string& command, std::string* reply,
                       const SwitchLinkOptions& options) {
  SwitchLinkClient client(address, options);
  if (!client.Connect()) return false;
  std::string text;
  if (!client.Exchange(command, &text)) return false;
  client.Close();
  *reply = text;
  return true;
}

}  // namespace sorvanta::usbtest
