// sorvanta-usb-switch: the reference USB power switch server for the endurance test.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "usb_switch_server.h"

namespace {

void Usage(std::FILE* out) {
  std::fprintf(out,
               "usage: sorvanta-usb-switch [--bind ADDR] [--port N] --off CMD --on CMD\n"
               "  --bind ADDR  address to listen on (default 0.0.0.0)\n"
               "  --port N     TCP port (default 5000)\n"
               "  --off CMD    shell command run for USBOFF, e.g. \"uhubctl -l 1-1 -p 2 -a off\"\n"
               "  --on CMD     shell command run for USBON,  e.g. \"uhubctl -l 1-1 -p 2 -a on\"\n"
               "  --dry-run    run no commands, only answer (to try the link)\n");
}

}  // namespace

int main(int argc, char** argv) {
  sorvanta::tools::SwitchServerConfig config;
  bool dryRun = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool hasValue = i + 1 < argc;
    if (a == "--bind" && hasValue) {
      config.bind = argv[++i];
    } else if (a == "--port" && hasValue) {
      char* end = nullptr;
      long port = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || port < 1 || port > 65535) {
        std::fprintf(stderr, "invalid port: %s\n", argv[i]);
        return 2;
      }
      config.port = static_cast<int>(port);
    } else if (a == "--off" && hasValue) {
      config.offCommand = argv[++i];
    } else if (a == "--on" && hasValue) {
      config.onCommand = argv[++i];
    } else if (a == "--dry-run") {
      dryRun = true;
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else {
      Usage(stderr);
      return 2;
    }
  }
  if (!dryRun && (config.offCommand.empty() || config.onCommand.empty())) {
    std::fprintf(stderr, "--off and --on are required (or --dry-run)\n");
    Usage(stderr);
    return 2;
  }
  if (dryRun) config.offCommand = config.onCommand = "";

  sorvanta::tools::UsbSwitchServer server(config);
  std::string error;
  if (!server.Listen(&error)) {
    std::fprintf(stderr, "cannot listen on %s:%d: %s\n", config.bind.c_str(), config.port, error.c_str());
    return 1;
  }
  std::printf("listening on %s:%d%s\n", config.bind.c_str(), server.port(), dryRun ? " (dry run)" : "");
  std::fflush(stdout);
  server.Serve();
  return 1;
}
