#include "usbtest/switch_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "../../tools/usb_switch_server.h"
#include "support/deadline.h"
#include "support/https_test_server.h"
#include "usbtest/fake_switch.h"
#include "usbtest/endurance_run.h"

namespace sorvanta::usbtest {
namespace {

using testing::FakeSwitch;

// Captures what the link writes about failures instead of printing it.
class SwitchLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    link_.errorOutput = [this](const std::string& text) {
      std::lock_guard<std::mutex> l(mu_);
      errors_.push_back(text);
    };
  }
  bool Send(const std::string& address, const std::string& command, std::string* reply) {
    return SendSwitchCommand(address, command, reply, link_);
  }
  std::vector<std::string> Errors() {
    std::lock_guard<std::mutex> l(mu_);
    return errors_;
  }

  SwitchLinkOptions link_;
  std::mutex mu_;
  std::vector<std::string> errors_;
};

TEST(SwitchAddress, SplitsIntoExactlyTwoPieces) {
  std::string host = "unchanged";
  int port = -7;
  EXPECT_FALSE(SplitSwitchAddress("192.168.0.100", &host, &port));
  EXPECT_FALSE(SplitSwitchAddress("192.168.0.100:", &host, &port));
  EXPECT_FALSE(SplitSwitchAddress("a:1:2", &host, &port));
  EXPECT_FALSE(SplitSwitchAddress("", &host, &port));
  EXPECT_EQ(host, "unchanged");
  EXPECT_EQ(port, -7);

  ASSERT_TRUE(SplitSwitchAddress("192.168.0.100::5000", &host, &port));
  EXPECT_EQ(host, "192.168.0.100");
  EXPECT_EQ(port, 5000);
  ASSERT_TRUE(SplitSwitchAddress("pi.local:abc", &host, &port));
  EXPECT_EQ(host, "pi.local");
  EXPECT_EQ(port, 0);

  EXPECT_EQ(CheckSwitchAddress("192.168.0.100"), "树莓派IP应包含端口号！\n例子：192.168.0.100:5000");
  EXPECT_EQ(CheckSwitchAddress("192.168.0.100:"), "树莓派IP应包含端口号！\n例子：192.168.0.100:5000");
  EXPECT_EQ(CheckSwitchAddress("192.168.0.100:5000"), "");
  EXPECT_EQ(CheckSwitchAddress("192.168.0.100::5000"), "");

  SwitchLinkClient fallback("no-port-here");
  EXPECT_EQ(fallback.host(), "127.0.0.1");
  EXPECT_EQ(fallback.port(), 50000);
}

TEST_F(SwitchLinkTest, TwoByteReplyAndTheExactCommandBytes) {
  FakeSwitch sw([](const std::string&) { return std::string("OK"); });
  ASSERT_TRUE(sw.ok());
  std::string reply = "stale";
  ASSERT_TRUE(Send(sw.address(), "USBOFF", &reply));
  EXPECT_EQ(reply, "OK");
  ASSERT_TRUE(Send(sw.address(), "USBON", &reply));
  EXPECT_EQ(reply, "OK");
  // One connection per command, the bare command and nothing else on it.
  EXPECT_EQ(sw.ReceivedAfter(2), (std::vector<std::string>{"USBOFF", "USBON"}));
  EXPECT_TRUE(Errors().empty());
}

TEST_F(SwitchLinkTest, SilentCloseIsSuccessWithEmptyReply) {
  FakeSwitch sw([](const std::string&) { return std::string(FakeSwitch::kCloseSilently); });
  std::string reply = "stale";
  ASSERT_TRUE(Send(sw.address(), "USBON", &reply));
  EXPECT_EQ(reply, "");
}

TEST_F(SwitchLinkTest, LongReplyIsCutToTheFirstChunk) {
  std::string longReply;
  for (int i = 0; i < 300; ++i) longReply += static_cast<char>('a' + i % 26);
  FakeSwitch sw([&](const std::string&) { return longReply; });
  std::string reply;
  ASSERT_TRUE(Send(sw.address(), "USBOFF", &reply));
  ASSERT_FALSE(reply.empty());
  EXPECT_LE(reply.size(), 128u);
  EXPECT_EQ(reply, longReply.substr(0, reply.size()));
}

TEST_F(SwitchLinkTest, ConnectionFailuresAreReportedAndFail) {
  std::string reply = "kept";
  const std::string closed = "127.0.0.1:" + std::to_string(FakeSwitch::UnusedPort());
  EXPECT_FALSE(Send(closed, "USBON", &reply));
  EXPECT_FALSE(Send("127.0.0.1:abc", "USBON", &reply));  // port 0
  EXPECT_FALSE(Send("127.0.0.1:70000", "USBON", &reply));
  EXPECT_EQ(reply, "kept");
  auto errors = Errors();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors, (std::vector<std::string>{closed + "：连接被拒绝", "127.0.0.1:0：端口无效", "127.0.0.1:70000：端口无效"}));

  SwitchLinkClient client("127.0.0.1:1");
  EXPECT_FALSE(client.Close());  // no socket yet
  EXPECT_FALSE(client.Exchange("USBON", &reply));
}

TEST_F(SwitchLinkTest, SilentServerFailsAfterTheReceiveTimeOut) {
  link_.receiveTimeoutMs = 300;
  FakeSwitch sw([](const std::string&) { return std::string(FakeSwitch::kNeverAnswer); });
  std::string reply = "kept";
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Send(sw.address(), "USBOFF", &reply));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 250);
  EXPECT_LT(ms, testing::ScaledMs(5000));
  EXPECT_EQ(reply, "kept");
  ASSERT_EQ(Errors().size(), 1u);
}

TEST_F(SwitchLinkTest, ReferenceServerRunsTheConfiguredCommands) {
  tools::SwitchServerConfig config;
  config.bind = "127.0.0.1";
  config.port = 0;
  config.offCommand = "hub off";
  config.onCommand = "hub on";
  config.quiet = true;
  std::vector<std::string> ran;
  int status = 0;
  tools::UsbSwitchServer server(config, [&](const std::string& cmd) {
    ran.push_back(cmd);
    return status;
  });
  std::string error;
  ASSERT_TRUE(server.Listen(&error)) << error;
  std::string address = "127.0.0.1:" + std::to_string(server.port());

  auto ask = [&](const std::string& command) {
    std::string reply;
    std::thread serve([&] { server.ServeOne(); });
    bool ok = Send(address, command, &reply);
    serve.join();
    return ok ? reply : std::string("<failed>");
  };
  EXPECT_EQ(ask("USBOFF"), "USBOFF OK");
  status = 3;
  EXPECT_EQ(ask("USBON"), "USBON ERR 3");
  EXPECT_EQ(ask("USBON\r\n"), "USBON ERR 3");  // typed by hand
  EXPECT_EQ(ask("REBOOT"), "ERR unknown command");
  EXPECT_EQ(ran, (std::vector<std::string>{"hub off", "hub on", "hub on"}));
  server.Close();
}

TEST(SwitchReply, OnlyAnExplicitErrorOfTheCommandIsAFailure) {
  const struct {
    const char* command;
    const char* reply;
    bool error;
  } cases[] = {
      {"USBON", "USBON ERR 32", true},   {"USBOFF", "USBOFF ERR 1", true}, {"USBON", "USBON ERR", true},
      {"USBON", "USBON ERR\r\n", true}, {"USBON", "USBON OK", false},     {"USBON", "", false},
      {"USBON", "ERR unknown command", false}, {"USBON", "USBOFF ERR 3", false}, {"USBON", "USBON ERRAND", false},
      {"USBOFF", "done", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsSwitchErrorReply(c.command, c.reply), c.error) << c.command << " / " << c.reply;
}

// The engine never prints: without an output installed by the program, a failure only
// leaves its text in lastError().
TEST(SwitchLinkOutput, FailuresReachNoTerminalUnlessTheProgramAsks) {
  const int port = sorvanta::testing::UnusedLoopbackPort();
  ASSERT_GT(port, 0);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  SwitchLinkClient client("127.0.0.1", port);
  EXPECT_FALSE(client.Connect());
  std::string reply;
  EXPECT_FALSE(SendSwitchCommand("127.0.0.1:" + std::to_string(port), "USBON", &reply));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(client.lastError(), "127.0.0.1:" + std::to_string(port) + "：连接被拒绝");
}

}  // namespace
}  // namespace sorvanta::usbtest
