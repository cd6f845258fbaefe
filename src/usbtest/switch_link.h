// Client side of the remote USB power switch: one short TCP exchange per command.
//
// The switch (a small server on a Raspberry Pi) accepts a connection, reads "USBOFF" or
// "USBON" (no terminator), acts on the drive's USB port and answers a short status text or
// just closes. Every command uses a new connection.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

namespace sorvanta::usbtest {

// Splits a switch address "host:port" at every ":" into its non-empty pieces. Returns true
// and fills host and port (read as "%d"; not a number gives 0) when there are exactly two
// pieces; otherwise returns false and leaves both untouched.
bool SplitSwitchAddress(const std::string& address, std::string* host, int* port);

// How long a command waits for the switch's reply before it fails like a connection error.
constexpr uint32_t kSwitchReceiveTimeoutMs = 10000;

// How a connection behaves; the program (or a test) passes it with each use.
struct SwitchLinkOptions {
  uint32_t receiveTimeoutMs = kSwitchReceiveTimeoutMs;
  // Where connection errors go besides lastError(): nowhere when empty. Called on the
  // connecting thread.
  std::function<void(const std::string&)> errorOutput;
};

// Why a command failed, in words a user reads: "连接被拒绝", "连接超时", "找不到主机", ...
// lastError() and the error output carry it after the address, "192.168.0.100:5000：连接被拒绝".

// One connection to the switch; not shared between threads.
class SwitchLinkClient {
 public:
  // Host "127.0.0.1" and port 50000 unless the address has exactly two pieces.
  explicit SwitchLinkClient(const std::string& address, SwitchLinkOptions options = {});
  SwitchLinkClient(std::string host, int port, SwitchLinkOptions options = {});
  ~SwitchLinkClient();
  SwitchLinkClient(const SwitchLinkClient&) = delete;
  SwitchLinkClient& operator=(const SwitchLinkClient&) = delete;

  const std::string& host() const { return host_; }
  int port() const { return port_; }

  // Resolves the host (three attempts), then connects, blocking until it connects, fails or
  // stop is requested (then it fails with "已停止"). On failure the error text goes to
  // lastError() and the options' error output, and false is returned.
  bool Connect(std::stop_token stop = {});
  // Sends request in full, then (unless sendOnly) waits for the first chunk of at most 128
  // bytes and stores it in *reply when there is one. Fails when the send fails or when no
  // chunk and no close arrives within the receive time-out; a receive error or a close
  // without data is a success that leaves *reply as it was.
  bool Exchange(const std::string& request, std::string* reply, bool sendOnly = false);
  // Closes the connection; false when there was none.
  bool Close();

  // The last error text (empty when none).
  const std::string& lastError() const { return lastError_; }

 private:
  struct Impl;
  void Fail(const std::string& reason);

  std::string host_ = "127.0.0.1";
  int port_ = 50000;
  SwitchLinkOptions options_;
  std::string lastError_;
  std::unique_ptr<Impl> impl_;
};

// What one command got from the switch.
struct SwitchAnswer {
  bool ok = false;      // the exchange completed: reply holds the answer (maybe empty)
  bool sent = false;    // the command reached the switch, which may have acted on it
  std::string reply;
  std::string failure;  // when !ok: the address and the reason, "192.168.0.100:5000：连接被拒绝"
};

// Sends one command ("USBOFF" or "USBON") to the switch at address. A stop request ends
// the connecting (the command is then not sent); once sent, the answer is awaited.
SwitchAnswer AskSwitch(const std::string& address, const std::string& command, const SwitchLinkOptions& options = {},
                       std::stop_token stop = {});

// Sends one command ("USBOFF" or "USBON") to the switch at address. Returns true with the
// reply text (possibly empty) in *reply, or false when the connection or the send fails or
// the switch does not answer in time.
bool SendSwitchCommand(const std::string& address, const std::string& command, std::string* reply,
                       const SwitchLinkOptions& options = {});

// True when the reply says in so many words that the switch failed the command:
// "<command> ERR ..." (what the reference switch answers). Any other reply, empty included,
// is taken as done.
bool IsSwitchErrorReply(const std::string& command, const std::string& reply);

}  // namespace sorvanta::usbtest
