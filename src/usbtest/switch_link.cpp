#include "usbtest/switch_link.h"

#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <boost/asio.hpp>
#include <cctype>
#include <chrono>
#include <cstdio>

#include "base/language.h"
#include "base/text.h"

namespace sorvanta::usbtest {

using boost::asio::ip::tcp;

namespace {

// The reason of a connection or transfer error in the user's words; the system's text for
// the rare others.
std::string Reason(const boost::system::error_code& ec) {
  namespace error = boost::asio::error;
  if (ec == error::connection_refused) return Tr("连接被拒绝");
  if (ec == error::timed_out) return Tr("连接超时");
  if (ec == error::host_not_found || ec == error::host_not_found_try_again || ec == error::no_data)
    return Tr("找不到主机");
  if (ec == error::network_unreachable || ec == error::network_down) return Tr("网络不可达");
  if (ec == error::host_unreachable) return Tr("主机不可达");
  if (ec == error::connection_reset || ec == error::broken_pipe || ec == error::connection_aborted)
    return Tr("连接被断开");
  return ec.message();
}

std::string Duration(uint32_t ms) {
  return ms % 1000 == 0 ? FormatText(Tr("%u秒"), ms / 1000) : FormatText(Tr("%u毫秒"), ms);
}

}  // namespace

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

void SwitchLinkClient::Fail(const std::string& reason) {
  lastError_ = FormatText(Tr("%s:%d：%s"), host_.c_str(), port_, reason.c_str());
  if (options_.errorOutput) options_.errorOutput(lastError_);
}

bool SwitchLinkClient::Connect(std::stop_token stop) {
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

  if (port_ <= 0 || port_ > 65535) {
    Fail(Tr("端口无效"));
    return false;
  }
  auto results = resolver.resolve(address, std::to_string(port_), ec);
  if (ec || results.empty()) {
    Fail(ec ? Reason(ec) : std::string(Tr("找不到主机")));
    return false;
  }
  tcp::endpoint endpoint = results.begin()->endpoint();

  // The system's own connect time-out applies; a stop request ends the wait sooner.
  auto socket = std::make_unique<tcp::socket>(impl_->io);
  bool done = false;
  socket->async_connect(endpoint, [&](const boost::system::error_code& e) {
    done = true;
    ec = e;
  });
  impl_->io.restart();
  while (!done && !stop.stop_requested()) impl_->io.run_for(std::chrono::milliseconds(50));
  if (!done) {
    boost::system::error_code ignored;
    socket->close(ignored);  // aborts the pending connect
    impl_->io.restart();
    impl_->io.run();
    Fail(Tr("已停止"));
    return false;
  }
  if (ec) {
    Fail(Reason(ec));
    return false;
  }
  impl_->socket = std::move(socket);
  return true;
}

bool SwitchLinkClient::Exchange(const std::string& request, std::string* reply, bool sendOnly) {
  if (!impl_->socket) {
    Fail(Tr("未连接"));
    return false;
  }
  boost::system::error_code ec;
  boost::asio::write(*impl_->socket, boost::asio::buffer(request), ec);
  if (ec) {
    Fail(FormatText(Tr("发送失败（%s）"), Reason(ec).c_str()));
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
    Fail(FormatText(Tr("无应答（%s内未回复）"), Duration(options_.receiveTimeoutMs).c_str()));
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

SwitchAnswer AskSwitch(const std::string& address, const std::string& command, const SwitchLinkOptions& options,
                       std::stop_token stop) {
  SwitchAnswer answer;
  SwitchLinkClient client(address, options);
  if (!client.Connect(stop)) {
    answer.failure = client.lastError();
    return answer;
  }
  answer.sent = true;  // from here on the switch may have acted, even if the send reports an error
  if (!client.Exchange(command, &answer.reply)) {
    answer.failure = client.lastError();
    answer.reply.clear();
    return answer;
  }
  client.Close();
  answer.ok = true;
  return answer;
}

bool SendSwitchCommand(const std::string& address, const std::string& command, std::string* reply,
                       const SwitchLinkOptions& options) {
  SwitchAnswer answer = AskSwitch(address, command, options);
  if (answer.ok) *reply = answer.reply;
  return answer.ok;
}

bool IsSwitchErrorReply(const std::string& command, const std::string& reply) {
  const std::string prefix = command + " ERR";
  if (command.empty() || reply.compare(0, prefix.size(), prefix) != 0) return false;
  // "USBON ERR", "USBON ERR 32", not "USBON ERRAND".
  return reply.size() == prefix.size() || std::isspace(static_cast<unsigned char>(reply[prefix.size()]));
}

}  // namespace sorvanta::usbtest
