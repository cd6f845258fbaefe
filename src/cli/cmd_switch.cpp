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

int RunSwitch(const std::vector<std::string>& args) {
  if (args.size() != 2 || (args[1] != "USBON" && args[1] != "USBOFF")) {
    std::fprintf(stderr, "用法: sorvanta-cli switch ADDR USBON|USBOFF\n");
    return 2;
  }
  std::string message = CheckSwitchAddress(args[0]);
  if (!message.empty()) {
    std::fprintf(stderr, "%s\n", message.c_str());
    return 2;
  }
  SwitchLinkOptions link;
  link.errorOutput = PrintLine;
  const SwitchAnswer answer = AskSwitch(args[0], args[1], link);
  if (!answer.ok) {
    std::fprintf(stderr, "%s\n", kUsbMsgSwitchFailed);
    return 1;
  }
  // "<command> ERR ..." is the switch saying it could not do it; any other reply is done.
  if (IsSwitchErrorReply(args[1], answer.reply)) {
    std::fprintf(stderr, "测试失败！\n树莓派返回：%s\n", Printable(answer.reply).c_str());
    return 1;
  }
  std::printf("%s\n树莓派返回：%s\n", kUsbMsgSwitchPassed, Printable(answer.reply).c_str());
  return 0;
}

CliCommandRegistrar reg{CliCommand{"switch", "switch ADDR USBON|USBOFF",
                                   "向树莓派USB开关发送一条命令并显示回复", RunSwitch}};

}  // namespace
}  // namespace sorvanta::cli
