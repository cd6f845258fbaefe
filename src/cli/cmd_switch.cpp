// sorvanta-cli switch: sends one command to the remote USB power switch and prints its reply,
// like the endurance test window's "测试" button does for "USBON"; an explicit error reply
// exits 1.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/command.h"
#include "usbtest/endurance_run.h"
#include "usbtest/switch_link.h"

namespace sorvanta::cli {
namespace {

using namespace sorvanta::usbtest;

struct SwitchArgs {
  std::string address;
  std::string command;
};

int RunSwitch(const SwitchArgs& a) {
  if (a.address.empty() || (a.command != "USBON" && a.command != "USBOFF")) {
    std::fprintf(stderr, "%s\n", UsageLine("switch ADDR USBON|USBOFF").shown.c_str());
    return kExitUsage;
  }
  std::string message = CheckSwitchAddress(a.address);
  if (!message.empty()) {
    std::fprintf(stderr, "%s\n", message.c_str());
    return kExitUsage;
  }
  SwitchLinkOptions link;
  link.errorOutput = PrintLine;
  const SwitchAnswer answer = AskSwitch(a.address, a.command, link);
  if (!answer.ok) {
    std::fprintf(stderr, "%s\n", Tr(kUsbMsgSwitchFailed));
    return kExitFailed;
  }
  // "<command> ERR ..." is the switch saying it could not do it; any other reply is done.
  if (IsSwitchErrorReply(a.command, answer.reply)) {
    std::fprintf(stderr, Tr("测试失败！\n树莓派返回：%s\n"), Printable(answer.reply).c_str());
    return kExitFailed;
  }
  std::printf(Tr("%s\n树莓派返回：%s\n"), Tr(kUsbMsgSwitchPassed), Printable(answer.reply).c_str());
  return kExitOk;
}

std::function<int()> SetUp(CLI::App& sub) {
  auto a = std::make_shared<SwitchArgs>();
  sub.add_option("ADDR", a->address, Tr("开关的地址与端口，如 192.168.0.100:5000"))->type_name("");
  sub.add_option("COMMAND", a->command, Tr("USBON 接通或 USBOFF 断开USB供电"))->type_name("");
  return [a] { return RunSwitch(*a); };
}

CliCommandRegistrar reg{CliCommand{"switch", "switch ADDR USBON|USBOFF", N_("向树莓派USB开关发送一条命令并显示回复"), SetUp}};

}  // namespace
}  // namespace sorvanta::cli
