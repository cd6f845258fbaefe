// sorvanta-cli as a script or a user meets it: the program runs as a child process, and
// the tests read its exit status, its standard output and error, its --json objects and
// what it leaves on a temporary volume after signals.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <iostream>
#include <regex>
#include <sstream>
#include <set>
#include <thread>

#include "../../tools/usb_switch_server.h"
#include "support/loop_volume.h"
#include "support/temp_dir.h"

#if __has_include("server/reference_service.h")
#include "server/reference_service.h"
#define SORVANTA_HAVE_SERVICE 1
#endif

extern char** environ;

namespace sorvanta {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WaitFor(const std::function<bool()>& done, int ms) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// A value in a child's environment that removes the variable instead.
const std::string kUnset = "\x01unset";

// The environment of a run in locale (a LANG value) with nothing else naming a language; forced:
// SORVANTA_LANG when not empty.
std::map<std::string, std::string> Locale(const std::string& locale, const std::string& forced = "") {
  return {{"LANG", locale}, {"SORVANTA_LANG", forced.empty() ? kUnset : forced},
          {"LANGUAGE", kUnset}, {"LC_ALL", kUnset}, {"LC_MESSAGES", kUnset}};
}

std::string BuiltCli() { return fs::read_symlink("/proc/self/exe").parent_path() / "sorvanta-cli"; }

// True when the user may run the program at path: every folder above it searchable and the
// file executable for them (checked by the kernel, as that user, in a child).
bool RunnableBy(const std::string& path, int uid) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(uid)) != 0 || setuid(static_cast<uid_t>(uid)) != 0)
      _exit(2);
    _exit(access(path.c_str(), X_OK) == 0 ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The program as another user can start it: the build's own copy where that user may reach
// it, else a copy in a world-searchable temporary folder (a checkout below a 0700 home is
// out of their reach). Empty, with *why set, when neither works.
std::string CliRunnableBy(int uid, std::string* why) {
  static testing::TempDir copies("cliexe");
  const std::string built = BuiltCli();
  if (RunnableBy(built, uid)) return built;
  const std::string copy = copies.Path("sorvanta-cli");
  std::error_code ec;
  chmod(copies.path().c_str(), 0755);
  fs::copy_file(built, copy, fs::copy_options::overwrite_existing, ec);
  chmod(copy.c_str(), 0755);
  if (!ec && RunnableBy(copy, uid)) return copy;
  *why = "user " + std::to_string(uid) + " can run neither " + built + " nor a copy in " + copies.path();
  return "";
}

// One run of the program: started with fork/exec, output into files, stdin from /dev/null.
class Cli {
 public:
  // uid >= 0: the program runs as that user (the test runs as root).
  Cli(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {}, int uid = -1) {
    static int counter = 0;
    ++counter;
    out_ = dir_.Path("out" + std::to_string(counter));
    err_ = dir_.Path("err" + std::to_string(counter));
    std::string why;
    std::string exe = uid >= 0 ? CliRunnableBy(uid, &why) : BuiltCli();
    if (exe.empty()) exe = BuiltCli();  // the test skips before it gets here
    std::vector<std::string> argv{exe};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
      std::string kv = *e;
      if (!env.count(kv.substr(0, kv.find('=')))) envs.push_back(kv);
    }
    for (const auto& [k, v] : env)
      if (v != kUnset) envs.push_back(k + "=" + v);
    // Everything the child needs is ready before fork: other threads may hold locks.
    std::vector<char*> a, e;
    for (auto& s : argv) a.push_back(s.data());
    for (auto& s : envs) e.push_back(s.data());
    a.push_back(nullptr);
    e.push_back(nullptr);
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      // Sockets of the test (a listening switch) must not live on in the program.
      for (int fd = 3; fd < 1024; ++fd) close(fd);
      if (uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(uid)) != 0 ||
                       setuid(static_cast<uid_t>(uid)) != 0))
        _exit(126);
      execve(a[0], a.data(), e.data());
      _exit(127);
    }
    close(in);
    close(out);
    close(err);
  }
  ~Cli() {
    if (!done_ && pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
    }
  }

  void Signal(int signal) { kill(pid_, signal); }
  // Sends the signal and waits until the program has taken it: two signals sent while the
  // first is still pending would arrive as one.
  void SignalTaken(int signal) {
    kill(pid_, signal);
    const unsigned long long bit = 1ULL << (signal - 1);
    WaitFor([&] {
      std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
      unsigned long long pending = 0;
      for (std::string line; std::getline(status, line);)
        if (line.rfind("ShdPnd:", 0) == 0 || line.rfind("SigPnd:", 0) == 0)
          pending |= std::stoull(line.substr(7), nullptr, 16);
      return (pending & bit) == 0;
    }, 10000);
  }
  // Waits for the end; false (and the child killed) when it takes longer than ms.
  bool Wait(int ms = 60000) {
    bool ended = WaitFor([&] { return waitpid(pid_, &status_, WNOHANG) == pid_; }, ms);
    if (!ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
    }
    done_ = true;
    return ended;
  }
  // The exit status, or 128 + the signal that ended it.
  int code() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_); }
  bool exited() const { return WIFEXITED(status_); }
  std::string out() const { return ReadFile(out_); }
  std::string err() const { return ReadFile(err_); }
  Json::Value json() const {
    Json::Value v;
    Json::Reader().parse(out(), v, false);
    return v;
  }

 private:
  testing::TempDir dir_{"cli"};
  std::string out_, err_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool done_ = false;
};

// Runs to the end and returns the finished run.
std::unique_ptr<Cli> RunCli(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                            int uid = -1) {
  auto cli = std::make_unique<Cli>(args, env, uid);
  EXPECT_TRUE(cli->Wait()) << "sorvanta-cli did not end";
  return cli;
}

std::set<std::string> Keys(const Json::Value& v) {
  std::set<std::string> keys;
  for (const std::string& k : v.getMemberNames()) keys.insert(k);
  return keys;
}

// The environment that makes the program's syncs or reads of files ending in suffix fail
// (variable: SORVANTA_FAIL_SYNC_SUFFIX or SORVANTA_FAIL_READ_SUFFIX of the preloaded library).
std::map<std::string, std::string> FailingEnv(const std::string& variable, const std::string& suffix) {
  const fs::path preload = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "lib" / "libsorvanta_fail_sync.so";
  EXPECT_TRUE(fs::exists(preload)) << preload;
  return {{"LD_PRELOAD", preload.string()}, {variable, suffix}, {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
}

// A USB switch on loopback that answers its commands quietly.
tools::SwitchServerConfig LoopbackSwitch(const std::string& offCommand, const std::string& onCommand) {
  tools::SwitchServerConfig config;
  config.bind = "127.0.0.1";
  config.port = 0;
  config.quiet = true;
  config.offCommand = offCommand;
  config.onCommand = onCommand;
  return config;
}

// Columns a line takes on a terminal: East Asian characters (3- and 4-byte UTF-8) take two.
size_t Columns(const std::string& line) {
  size_t width = 0;
  for (size_t i = 0; i < line.size();) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    const size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    width += length >= 3 ? 2 : 1;
    i += length;
  }
  return width;
}

const fs::path kSourceDir = SORVANTA_SOURCE_DIR;

// What python3-jsonschema finds wrong with text as output of command (empty: valid).
std::string SchemaErrors(const std::string& text, const std::string& command) {
  testing::TempDir dir("clischema");
  const std::string out = dir.Path("out.json");
  { std::ofstream(out, std::ios::binary) << text; }
  const std::string schema = (kSourceDir / "docs/schemas" / (command + ".schema.json")).string();
  const std::string script =
      "import json, sys, jsonschema\n"
      "jsonschema.validate(json.load(open(sys.argv[2])), json.load(open(sys.argv[1])))\n";
  FILE* pipe = ::popen(("python3 -c '" + script + "' '" + schema + "' '" + out + "' 2>&1").c_str(), "r");
  if (!pipe) return "python3 did not start";
  std::string errors;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) errors.append(buf, n);
  return ::pclose(pipe) == 0 ? "" : errors + "\n" + text;
}

// Every command, in the order of the list in the help.
const std::vector<std::string> kCommands = {"capacity", "wipe", "cpu", "disk", "disks", "probe", "switch", "usbtest"};

TEST(CliArguments, EveryCommandExplainsItselfWithin80ColumnsAndRefusesWhatItDoesNotKnow) {
  const std::string manual = ReadFile((kSourceDir / "docs/man/sorvanta-cli.1.md").string());
  ASSERT_FALSE(manual.empty());
  std::vector<std::vector<std::string>> helps = {{"--help"}, {"-h"}, {"help"}};
  for (const std::string& c : kCommands) helps.push_back({c, "--help"});
  // Both languages: an English help line is as bound by 80 columns as a Chinese one.
  std::vector<std::pair<std::string, std::vector<std::string>>> runs;
  for (const std::string language : {"zh", "en"})
    for (const auto& args : helps) runs.emplace_back(language, args);
  for (const auto& [language, args] : runs) {
    auto cli = RunCli(args, {{"SORVANTA_LANG", language}});
    const std::string what = language + " " + ::testing::PrintToString(args);
    EXPECT_EQ(cli->code(), 0) << what;
    EXPECT_EQ(cli->err(), "") << what;
    std::istringstream lines(cli->out());
    int options = 0;
    for (std::string line; std::getline(lines, line);) {
      EXPECT_LE(Columns(line), 80u) << what << ": " << line;
      // Every option a command explains is in the manual page too.
      std::smatch option;
      if (args.size() == 2 && std::regex_search(line, option, std::regex("^  (?:-[a-zA-Z],)?(--[a-z][a-z-]*)\\b"))) {
        ++options;
        if (option[1] != "--help") {
          EXPECT_NE(manual.find("**" + option[1].str() + "**"), std::string::npos) << what << " " << option[1];
        }
      }
    }
    if (args.size() == 2) {
      EXPECT_GE(options, 1) << what;
    }
  }
  EXPECT_EQ(RunCli({"--help"})->out().rfind("用法: sorvanta-cli <命令> [参数]\n", 0), 0u);
  for (const std::string& c : kCommands) {
    auto cli = RunCli({c, "--bogus"});
    EXPECT_EQ(cli->code(), 2) << c;
    EXPECT_EQ(cli->err().rfind("未知参数: --bogus\n用法: sorvanta-cli " + c + " ", 0), 0u) << cli->err();
    EXPECT_EQ(cli->out(), "");
  }
}

TEST(CliArguments, RefusalsExitTwoWithTheirTexts) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
    std::string errEnd = "";  // when set, err is the start and this the end of standard error
  };
  std::vector<Case> cases = {
      {{"frobnicate"}, "未知命令: frobnicate（--help 列出全部命令）\n"},
      {{"capacity"}, "用法: sorvanta-cli capacity ROOT [--yes] [--json] | capacity --list [--json]\n"},
      {{"wipe", "/no/such/volume", "--yes"}, "/no/such/volume 不是已挂载的卷的根目录（capacity --list 列出全部卷）\n"},
      {{"disk", "/no/such/volume"}, "/no/such/volume 不是已挂载分区的根目录（sorvanta-cli disks 列出可测分区）\n"},
      {{"disk", "/", "--size", "12X"}, "写入大小无效: 12X（字节数，可带 K、M、G、T 后缀）\n"},
      {{"disk", "/", "--size", "1K"}, "写入大小须在 16M 与可用空间 ", "G 之间: 1K\n"},
      {{"disk", "/", "--size", "16T"}, "写入大小须在 16M 与可用空间 ", "G 之间: 16T\n"},
      {{"disk", "/", "--size"}, "缺少选项的值: --size\n用法: sorvanta-cli disk ROOT [--size N] [--prefill P|--laps N] "
                                "[选项]（--help 说明全部选项）\n"},
      {{"switch", "127.0.0.1", "USBON"}, "树莓派IP应包含端口号！\n例子：192.168.0.100:5000\n"},
      {{"usbtest", "--passes", "0"}, "--passes 应为 1 到 1000000 之间的整数\n"},
  };
  for (const Case& c : cases) {
    auto cli = RunCli(c.args);
    EXPECT_EQ(cli->code(), 2) << c.args[0];
    if (c.errEnd.empty()) {
      EXPECT_EQ(cli->err(), c.err);
    } else {
      EXPECT_EQ(cli->err().rfind(c.err, 0), 0u) << cli->err();
      EXPECT_TRUE(cli->err().size() >= c.errEnd.size() &&
                  cli->err().compare(cli->err().size() - c.errEnd.size(), c.errEnd.size(), c.errEnd) == 0)
          << cli->err();
    }
    EXPECT_EQ(cli->out(), "");
  }
  auto help = RunCli({});
  EXPECT_EQ(help->code(), 2);
  EXPECT_EQ(help->out().rfind("用法: sorvanta-cli <命令> [参数]\n", 0), 0u);
}

// The language comes from the locale, SORVANTA_LANG overrides the locale and --lang both; the
// English texts of the help, of the parser's refusals and of the commands' own.
TEST(CliLanguage, EnglishLocaleGetsEnglishTextsAndOverridesWin) {
  const auto en = Locale("en_US.UTF-8");
  const auto zh = Locale("zh_CN.UTF-8");
  struct Case {
    std::map<std::string, std::string> env;
    std::vector<std::string> args;
    int code;
    std::vector<std::string> out;  // each a whole line of standard output, in this order
    std::string err;
  };
  const Case cases[] = {
      {en, {"--help"}, 0,
       {"Usage: sorvanta-cli <command> [options]",
        "  capacity                Fake-capacity check: fill free space and verify it",
        "  probe                   Quick probe: a fake drive's real size in a minute",
        "Exit status: 0 success; 1 the test found a fault or could not finish;",
        "2 usage error; 130 stopped by a signal (after its cleanup)."},
       ""},
      {en, {"disks", "--bogus"}, 2, {},
       "Unknown argument: --bogus\nUsage: sorvanta-cli disks [--json] [--verbose] (--help explains every option)\n"},
      {en, {"capacity"}, 2, {}, "Usage: sorvanta-cli capacity ROOT [--yes] [--json] | capacity --list [--json]\n"},
      {en, {"disk", "/", "--laps", "x"}, 2, {}, "Invalid number of laps: x (a positive whole number)\n"},
      {Locale("zh_CN.UTF-8", "en"), {"frobnicate"}, 2, {}, "Unknown command: frobnicate (--help lists every command)\n"},
      {zh, {"--lang", "en", "wipe", "/no/such/volume", "--yes"}, 2, {},
       "/no/such/volume is not the root of a mounted volume (capacity --list lists every volume)\n"},
      {Locale("en_US.UTF-8", "en"), {"--lang=zh", "frobnicate"}, 2, {}, "未知命令: frobnicate（--help 列出全部命令）\n"},
      {zh, {"frobnicate"}, 2, {}, "未知命令: frobnicate（--help 列出全部命令）\n"},
  };
  for (const Case& c : cases) {
    auto cli = RunCli(c.args, c.env);
    const std::string what = c.env.at("LANG") + " " + c.env.at("SORVANTA_LANG") + " " + ::testing::PrintToString(c.args);
    EXPECT_EQ(cli->code(), c.code) << what;
    EXPECT_EQ(cli->err(), c.err) << what;
    const std::string out = "\n" + cli->out();
    size_t at = 0;
    for (const std::string& line : c.out) {
      at = out.find("\n" + line + "\n", at);
      EXPECT_NE(at, std::string::npos) << what << ": no line \"" << line << "\" in its place:" << cli->out();
      if (at == std::string::npos) break;
    }
  }
}

// What a script reads does not depend on the locale: the same runs in Chinese and in English
// give the same bytes on standard output (results, and the error objects of refusals) while
// what people read on standard error follows the language.
TEST(CliLanguage, JsonIsTheSameInEveryLanguage) {
  testing::TempDir home("clijsonlang");
  fs::create_directories(home.Path("sorvanta"));
  { std::ofstream(home.Path("sorvanta/cputest.bin"), std::ios::binary) << "[{\"singlecore\":1200,\"ratio\":0.997319}]"; }
  const std::vector<std::vector<std::string>> runs = {
      {"disks", "--json"},  // not capacity --list: free space changes between two runs
      {"capacity", "--json"},
      {"cpu", "--history", "--json"},
      {"disk", "--history", "--json=compact", "/"},
      {"wipe", "/no/such/volume", "--yes", "--json"},
      {"disk", "/", "--size", "12X", "--json=compact"},
      {"disks", "--json", "--bogus"},
      {"probe", "--json"},
      {"probe", "/dev/null", "--yes", "--json"},  // refused by the engine: not a whole disk
      {"cpu", "--json"},  // nothing listens at the service's address: the client's own words
  };
  for (const auto& args : runs) {
    std::string out[2], err[2];
    int i = 0;
    for (const std::string locale : {"zh_CN.UTF-8", "en_US.UTF-8"}) {
      auto env = Locale(locale);
      env["XDG_DATA_HOME"] = home.path();
      env["SORVANTA_SERVICE_URL"] = "https://127.0.0.1:1/";
      auto cli = RunCli(args, env);
      out[i] = cli->out();
      err[i++] = cli->err();
    }
    const std::string what = ::testing::PrintToString(args);
    EXPECT_FALSE(out[0].empty()) << what;
    EXPECT_EQ(out[0], out[1]) << what;
    if (out[0].find("\"error\"") != std::string::npos) {
      EXPECT_NE(err[0], err[1]) << what;
    }
  }
}

// What scripts read: one value per run on standard output that its command's schema accepts,
// two-space indented or on one line, and an object naming the error when there is no result.
TEST(CliJson, OutputOfEveryCommandMatchesItsSchema) {
  testing::TempDir home("clijson");
  fs::create_directories(home.Path("sorvanta"));
  { std::ofstream(home.Path("sorvanta/cputest.bin"), std::ios::binary) << "[{\"singlecore\":1200,\"ratio\":0.997319}]"; }
  struct Case {
    std::vector<std::string> args;
    std::string schema;
    int code;
  };
  const Case cases[] = {
      {{"disks", "--json"}, "disks", 0},
      {{"capacity", "--list", "--json=compact"}, "capacity", 0},
      {{"cpu", "--history", "--json"}, "cpu", 0},
      {{"disk", "--history", "--json", "/"}, "disk", 0},  // the flag leaves the root alone
      {{"cpu", "--json"}, "cpu", 1},  // nothing listens at the service's address
      {{"wipe", "/no/such/volume", "--yes", "--json=compact"}, "wipe", 2},
      {{"disks", "--json=fancy"}, "disks", 2},
  };
  for (const Case& c : cases) {
    auto cli = RunCli(c.args, {{"XDG_DATA_HOME", home.path()}, {"SORVANTA_SERVICE_URL", "https://127.0.0.1:1/"}});
    const std::string what = ::testing::PrintToString(c.args);
    EXPECT_EQ(cli->code(), c.code) << what << cli->err();
    EXPECT_EQ(SchemaErrors(cli->out(), c.schema), "") << what;
    const bool compact = c.args.back() == "--json=compact";
    const std::string out = cli->out();
    if (compact || out.size() > 3) {
      EXPECT_EQ(std::count(out.begin(), out.end(), '\n') == 1, compact) << what << out;
    }
    if (c.code != 0) {
      EXPECT_EQ(Keys(cli->json()), (std::set<std::string>{"error", "exitCode"})) << what;
      EXPECT_EQ(cli->json()["exitCode"].asInt(), c.code) << what;
    }
  }
  // Numbers as the text shows them, not the 17 digits of a double.
  EXPECT_NE(RunCli({"cpu", "--history", "--json"}, {{"XDG_DATA_HOME", home.path()}})->out().find("\"ratio\": 1.0"),
            std::string::npos);
}

// The CPU history moves from where older versions kept it into the program's folder, once,
// without losing a byte: alone, beside a newer history, and across file systems.
TEST(CliCpu, HistoryMovesIntoItsFolderKeepingEveryRecord) {
  const std::string older = "[\r\n{\"singlecore\":1000,\"runtime\":1.5e9}\r\n]\r\n";
  const std::string newer = "[\r\n{\"singlecore\":2000,\"runtime\":1.7e9}\r\n]";
  struct Case {
    std::string name;
    bool newerExists;
    bool ownFileSystem;  // sorvanta/ is a mount of its own
    std::string expected;
  };
  const Case cases[] = {
      {"alone", false, false, older},
      {"beside a newer one", true, false,
       "[\r\n{\"singlecore\":1000,\"runtime\":1.5e9},\r\n{\"singlecore\":2000,\"runtime\":1.7e9}\r\n]"},
      {"across file systems", false, true, older},
  };
  for (const Case& c : cases) {
    testing::TempDir data("clihistory");
    const std::string folder = data.Path("sorvanta");
    fs::create_directories(folder);
    if (c.ownFileSystem && (geteuid() != 0 || mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1m") != 0)) {
      std::cout << "[  SKIPPED ] " << c.name << ": mounting a tmpfs needs root\n";
      continue;
    }
    { std::ofstream(data.Path("cputest.bin"), std::ios::binary) << older; }
    if (c.newerExists) std::ofstream(folder + "/cputest.bin", std::ios::binary) << newer;
    auto cli = RunCli({"cpu", "--history"}, {{"XDG_DATA_HOME", data.path()}});
    EXPECT_EQ(cli->code(), 0) << c.name << cli->err();
    EXPECT_EQ(ReadFile(folder + "/cputest.bin"), c.expected) << c.name;
    EXPECT_FALSE(fs::exists(data.Path("cputest.bin"))) << c.name;
    EXPECT_NE(cli->out().find("--- 记录 " + std::string(c.newerExists ? "2/2" : "1/1") + " ---"), std::string::npos)
        << c.name << cli->out();
    if (c.ownFileSystem) umount(folder.c_str());
  }
}

// The test button's texts, and the exit status for a done command (0) and for a switch that
// refused or could not be reached (1).
TEST(CliSwitch, PrintsTheTestButtonTextsAndExitsOneOnAnyFailure) {
  int status = 0;
  tools::UsbSwitchServer server(LoopbackSwitch("", "power on"), [&status](const std::string&) { return status; });
  std::string error;
  ASSERT_TRUE(server.Listen(&error)) << error;
  const std::string address = "127.0.0.1:" + std::to_string(server.port());
  struct Case {
    int switchStatus;  // -1: nobody listens on the port any more
    std::string command;
    int code;
    std::string out, err;
  };
  const Case cases[] = {
      {0, "USBON", 0, "测试通过！\n树莓派返回：USBON OK\n", ""},
      {32, "USBON", 1, "", "测试失败！\n树莓派返回：USBON ERR 32\n"},  // the switch could not power the port
      {-1, "USBOFF", 1, address + "：连接被拒绝\n", "树莓派通讯错误！试验终止！\n"},
  };
  for (const Case& c : cases) {
    status = c.switchStatus;
    std::thread serve;
    if (c.switchStatus >= 0) serve = std::thread([&] { server.ServeOne(); });
    else server.Close();
    auto cli = RunCli({"switch", address, c.command});
    if (serve.joinable()) serve.join();
    EXPECT_EQ(cli->code(), c.code) << c.switchStatus;
    EXPECT_EQ(cli->out(), c.out);
    EXPECT_EQ(cli->err(), c.err);
  }
}

// Runs on a small loop-mounted ext4 volume (root only): the real unbuffered files, the
// real mount table the program reads.
class CliOnAVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = testing::LoopVolume::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    volume_ = std::make_unique<testing::LoopVolume>(192ull << 20);
    if (!volume_->ok()) GTEST_SKIP() << volume_->error();
    root_ = volume_->root();
    // Files named like test files that the program did not create.
    { std::ofstream(root_ + "/temp_0.tmp", std::ios::binary) << "mine"; }
    { std::ofstream(dir_.Path("precious.txt"), std::ios::binary) << "precious"; }
    fs::create_symlink(dir_.Path("precious.txt"), root_ + "/temp_1.tmp");
  }

  // Test files on the volume besides the user's two.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(root_)) {
      std::string name = e.path().filename().string();
      if (name == "temp_0.tmp" || name == "temp_1.tmp" || name == "lost+found") continue;
      left.push_back(name);
    }
    return left;
  }
  void ExpectUserFilesIntact() {
    EXPECT_EQ(ReadFile(root_ + "/temp_0.tmp"), "mine");
    EXPECT_TRUE(fs::is_symlink(root_ + "/temp_1.tmp"));
    EXPECT_EQ(ReadFile(dir_.Path("precious.txt")), "precious");
  }
  // Waits until the run has created a file of its own on the volume.
  bool RunHasStarted() {
    return WaitFor([&] { return !Leftovers().empty(); }, 20000);
  }

  testing::TempDir dir_{"clivol"};
  std::unique_ptr<testing::LoopVolume> volume_;
  std::string root_;
};

TEST_F(CliOnAVolume, CapacityJsonForScriptsLeavesOtherFilesAlone) {
  auto cli = RunCli({"capacity", root_, "--yes", "--json"});
  EXPECT_EQ(cli->code(), 0) << cli->err();
  Json::Value v = cli->json();
  EXPECT_EQ(Keys(v), (std::set<std::string>{"mode", "root", "freeBytes", "writtenBytes", "validSpace", "errors",
                                            "aborted", "endMessage", "keptFiles", "realCapacityEstimate",
                                            "failureKind", "verdict", "verdictText", "writeMBps", "readMBps",
                                            "breakdown"}));
  EXPECT_TRUE(v["realCapacityEstimate"].isNull());  // nothing was lost, so nothing to judge
  EXPECT_TRUE(v["failureKind"].isNull());
  EXPECT_EQ(v["verdict"].asString(), "passed");
  EXPECT_EQ(v["verdictText"].asString().rfind("检测完成，未发现错误。有效容量 ", 0), 0u) << v["verdictText"].asString();
  EXPECT_GT(v["writeMBps"].asDouble(), 0);
  EXPECT_GT(v["readMBps"].asDouble(), 0);
  EXPECT_EQ(v["breakdown"]["intactBytes"].asUInt64(), v["writtenBytes"].asUInt64());
  EXPECT_EQ(v["breakdown"]["lostBytes"].asUInt64(), 0u);
  // The verdict ends the log on standard error too.
  EXPECT_NE(cli->err().find("]" + v["verdictText"].asString() + "\n"), std::string::npos) << cli->err();
  EXPECT_EQ(v["mode"].asString(), "capacity");
  EXPECT_EQ(v["root"].asString(), root_);
  EXPECT_GT(v["freeBytes"].asUInt64(), 100ull << 20);
  EXPECT_EQ(v["validSpace"].asUInt64(), v["writtenBytes"].asUInt64());
  EXPECT_EQ(v["errors"].asInt(), 0);
  EXPECT_FALSE(v["aborted"].asBool());
  EXPECT_EQ(v["endMessage"].asString().rfind("处理结束！您的磁盘有效容量：", 0), 0u) << v["endMessage"].asString();
  EXPECT_TRUE(v["keptFiles"].isArray() && v["keptFiles"].empty());
  EXPECT_EQ(SchemaErrors(cli->out(), "capacity"), "");
  // The volume is on the list, with its file system's name as the window shows it.
  bool listed = false;
  for (const Json::Value& item : RunCli({"capacity", "--list", "--json"})->json())
    if (item["root"].asString() == root_) listed = item["fileSystem"].asString() == "EXT4" && item["freeBytes"].asUInt64() > 0;
  EXPECT_TRUE(listed);
  // Standard error carries the log, standard output only the object.
  EXPECT_NE(cli->err().find("文件已存在,跳过:" + root_ + "/temp_1.tmp"), std::string::npos);
  ExpectUserFilesIntact();
  EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
}

// A test file the drive refuses to sync is an error with its own line, and the command fails.
TEST_F(CliOnAVolume, RefusedSyncIsAnErrorAndTheExitIsNotZero) {
  // temp_0.tmp and temp_1.tmp are the user's: the run's only file is temp_2.tmp.
  auto cli = RunCli({"capacity", root_, "--yes"}, FailingEnv("SORVANTA_FAIL_SYNC_SUFFIX", "/temp_2.tmp"));
  EXPECT_EQ(cli->code(), 1) << cli->out() << cli->err();
  EXPECT_NE(cli->out().find("]文件同步失败！" + root_ + "/temp_2.tmp\n"), std::string::npos) << cli->out();
  EXPECT_NE(cli->out().find("]检测结束：发现1个写入或同步错误，数据可能没有完整写入（可用空间 "), std::string::npos)
      << cli->out();
  ExpectUserFilesIntact();
  EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
}

TEST_F(CliOnAVolume, SecondCtrlCWaitsForTheCleanup) {
  Cli cli({"capacity", root_, "--yes", "--json"});
  ASSERT_TRUE(RunHasStarted());
  cli.SignalTaken(SIGINT);
  cli.Signal(SIGINT);
  ASSERT_TRUE(cli.Wait());
  EXPECT_EQ(cli.code(), 130);
  EXPECT_TRUE(cli.json()["aborted"].asBool());
  EXPECT_EQ(SchemaErrors(cli.out(), "capacity"), "");
  EXPECT_NE(cli.err().find("正在停止并清理测试文件，请稍候..."), std::string::npos);
  ExpectUserFilesIntact();
  EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
}

TEST_F(CliOnAVolume, ClosedTerminalStopsADiskRunAndItsFileGoes) {
  // The temporary folder lies on another file system, so the file goes to the volume.
  Cli cli({"disk", root_, "--size", "160M"}, {{"TMPDIR", dir_.path()}});
  ASSERT_TRUE(RunHasStarted());
  cli.Signal(SIGHUP);
  ASSERT_TRUE(cli.Wait());
  EXPECT_EQ(cli.code(), 130) << cli.err();
  EXPECT_TRUE(cli.exited());
  EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
}

TEST_F(CliOnAVolume, StoppedDiskJsonKeepsWhatWasMeasured) {
  Cli cli({"disk", root_, "--size", "32M", "--json"}, {{"TMPDIR", dir_.path()}});
  // The 4 KiB read starts right after the 4 KiB write's line, about 20 s in.
  ASSERT_TRUE(WaitFor([&] { return cli.err().find("[>]4K随机写均速") != std::string::npos; }, 60000)) << cli.err();
  cli.Signal(SIGINT);
  ASSERT_TRUE(cli.Wait());
  EXPECT_EQ(cli.code(), 130);
  Json::Value v = cli.json();
  EXPECT_TRUE(v["aborted"].asBool()) << cli.out();
  EXPECT_EQ(SchemaErrors(cli.out(), "disk"), "");
  for (const char* measured : {"linerbufferwrite", "linerread", "fourkwrite"})
    EXPECT_GT(v[measured].asDouble(), 0) << measured;
  for (const char* notRun : {"linernobufferwrite", "fourkread", "mtfourkwrite", "mtfourkread"})
    EXPECT_TRUE(v[notRun].isNull()) << notRun;
  ASSERT_EQ(v["rows"].size(), 1u);
  EXPECT_TRUE(v["rows"][0]["aborted"].asBool());
  EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
}

TEST_F(CliOnAVolume, PrefilledDiskRunTakesTheSpaceAndTwoSignalsLeaveNoFillFile) {
  struct statvfs before {};
  ASSERT_EQ(statvfs(root_.c_str(), &before), 0);
  Cli cli({"disk", root_, "--size", "16M", "--prefill", "50"}, {{"TMPDIR", dir_.path()}});
  // The fill file comes first, then the measurement's test file.
  ASSERT_TRUE(WaitFor([&] { return fs::exists(root_ + "/diskwritetest.bin"); }, 20000)) << cli.out() << cli.err();
  ASSERT_TRUE(fs::exists(root_ + "/prewritefileE_0"));
  struct statvfs during {};
  ASSERT_EQ(statvfs(root_.c_str(), &during), 0);
  // Half the volume is taken (the fill is reserved, not a sparse file).
  EXPECT_LE(during.f_bavail * during.f_frsize, before.f_blocks * before.f_frsize / 2);
  cli.SignalTaken(SIGINT);
  cli.Signal(SIGINT);
  ASSERT_TRUE(cli.Wait());
  EXPECT_EQ(cli.code(), 130);
  EXPECT_NE(cli.out().find("[>>]预填充数据"), std::string::npos) << cli.out();
  ExpectUserFilesIntact();
  EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
}

// The run's last test (the 64-thread 4 KiB read) fails while every test before it measured:
// the run found a fault, so it must not exit 0.
TEST_F(CliOnAVolume, DiskRunWhoseLastTestFailsExitsOne) {
  // The whole sequence takes about 90 s: its timed tests run 20 s each.
  Cli cli({"disk", root_, "--size", "16M", "--json"},
          [&] {
            auto env = FailingEnv("SORVANTA_FAIL_READ_SUFFIX", "/diskwritetest.bin");
            env["TMPDIR"] = dir_.path();
            return env;
          }());
  ASSERT_TRUE(cli.Wait(300000));
  EXPECT_EQ(cli.code(), 1) << cli.err();
  Json::Value v = cli.json();
  EXPECT_GT(v["fourkread"].asDouble(), 0) << cli.out();
  EXPECT_EQ(v["mtfourkread"].asDouble(), 0) << cli.out();  // every reader failed: nothing was read
  EXPECT_NE(cli.err().find("64并发4k读取：64个线程读写出错，错误代码：0x"), std::string::npos) << cli.err();
  EXPECT_FALSE(v["aborted"].asBool());
  EXPECT_TRUE(Leftovers().empty()) << ::testing::PrintToString(Leftovers());
}

TEST_F(CliOnAVolume, CapacityThatCannotWriteDoesNotExitZero) {
  ASSERT_EQ(mount(nullptr, root_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << errno;
  auto cli = RunCli({"capacity", root_, "--yes"});
  mount(nullptr, root_.c_str(), nullptr, MS_REMOUNT, nullptr);
  EXPECT_EQ(cli->code(), 1);
  EXPECT_NE(cli->out().find("无法创建文件,介质只读或没有权限"), std::string::npos) << cli->out();
}

TEST_F(CliOnAVolume, SecondCtrlCInUsbtestWritesTheCsvOfThePassesSoFar) {
  // The switch powers the volume off and on (unmounts and mounts it) for the first pass and
  // off for the second, then goes away: "USBON" is retried without limit, and a stop waits
  // for the power to come back. A second Ctrl-C leaves at once.
  tools::SwitchServerConfig config = LoopbackSwitch("off", "on");
  tools::UsbSwitchServer server(config, [this](const std::string& command) {
    return (command == "off" ? volume_->Unmount() : volume_->Mount()) ? 0 : 1;
  });
  std::string error;
  ASSERT_TRUE(server.Listen(&error)) << error;
  std::thread serve([&] {
    for (int i = 0; i < 3; ++i) server.ServeOne();
    server.Close();
  });
  const std::string source = dir_.Path("source.bin");
  { std::ofstream(source, std::ios::binary) << std::string(100000, 's'); }
  const std::string csv = dir_.Path("passes.csv");
  Cli cli({"usbtest", "--file", source, "--drive", root_, "--switch", "127.0.0.1:" + std::to_string(server.port()),
           "--passes", "5", "--csv", csv});
  serve.join();
  ASSERT_TRUE(WaitFor([&] { return cli.out().find("树莓派通讯错误！重试！") != std::string::npos; }, 20000))
      << cli.out();
  cli.Signal(SIGINT);
  ASSERT_TRUE(WaitFor([&] { return cli.out().find("正在恢复供电，请稍候...") != std::string::npos; }, 5000))
      << cli.out();
  cli.Signal(SIGINT);
  ASSERT_TRUE(cli.Wait(10000));
  EXPECT_EQ(cli.code(), 130);
  volume_->Mount();
  std::string text = ReadFile(csv);
  // The header, the passed first pass and the second one that was cut short (GBK text).
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
  EXPECT_NE(text.find("1," + root_ + "/writetest0.bin,"), std::string::npos) << text;
  EXPECT_NE(text.find("2," + root_ + "/writetest1.bin,"), std::string::npos) << text;
}

TEST(CliAsAUser, DiskUsesAWritableFolderAndWipeSaysWhatStayedUnwritten) {
  std::string why = testing::LoopVolume::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  testing::LoopVolume volume(96ull << 20, 5);  // 5 % kept for root
  if (!volume.ok()) GTEST_SKIP() << volume.error();
  const std::string root = volume.root();
  const int nobody = 65534;
  std::string cantRun;
  if (CliRunnableBy(nobody, &cantRun).empty()) GTEST_SKIP() << cantRun;
  chmod(fs::path(root).parent_path().c_str(), 0755);
  chmod(root.c_str(), 0755);  // only root may write the volume's root
  fs::create_directories(root + "/home");
  chmod((root + "/home").c_str(), 0777);
  testing::TempDir temp("cliuser");  // on another file system
  chmod(temp.path().c_str(), 0777);

  // The disk test goes to the user's folder on the volume and says so.
  {
    Cli cli({"disk", root, "--size", "32M"}, {{"TMPDIR", temp.path()}, {"HOME", root + "/home"}}, nobody);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(root + "/home/diskwritetest.bin"); }, 20000)) << cli.out() << cli.err();
    cli.Signal(SIGINT);
    ASSERT_TRUE(cli.Wait());
    EXPECT_EQ(cli.code(), 130);
    EXPECT_NE(cli.out().find("[>]分区" + root + "根目录不可写，测试文件放在：" + root + "/home\n"), std::string::npos)
        << cli.out();
    EXPECT_FALSE(fs::exists(root + "/home/diskwritetest.bin"));
  }

  // A wipe without root rights cannot reach the blocks kept for root and must say so.
  chmod(root.c_str(), 0777);
  auto wipe = RunCli({"wipe", root, "--yes", "--json"}, {{"HOME", root + "/home"}}, nobody);
  EXPECT_EQ(wipe->code(), 0) << wipe->err();
  std::string end = wipe->json()["endMessage"].asString();
  EXPECT_TRUE(std::regex_match(end, std::regex("处理结束！有[0-9]+ MB保留空间未能覆盖，请使用管理员权限（sudo）重新擦除！")))
      << end;
}

#ifdef SORVANTA_HAVE_SERVICE
// A token request that gets nowhere ends in one line that says where it went and why, with
// none of libcurl's codes on screen.
TEST(CliCpu, FailedTokenRequestsSayWhatHappenedAndWhere) {
  testing::TempDir dir("clicpufail");
  server::ServiceOptions so;
  so.port = 0;
  so.dataDir = dir.Path("service");
  so.rateLimitTokens = 1;
  std::string error;
  auto limited = server::ReferenceService::Start(so, &error);
  ASSERT_TRUE(limited) << error;
  so.dataDir = dir.Path("gone");
  auto gone = server::ReferenceService::Start(so, &error);
  ASSERT_TRUE(gone) << error;
  const std::string goneUrl = gone->BaseUrl();
  gone.reset();  // nothing listens there any more
  struct Case {
    std::string url, line;
  };
  const Case cases[] = {
      {goneUrl, "错误：无法连接服务器 " + goneUrl.substr(8, goneUrl.size() - 9) + "：连接被拒绝（服务没有运行？）\n"},
      {limited->BaseUrl(), "错误：服务器拒绝了请求：本机在10分钟内的跑分次数已达服务器对本机的上限，请在10分钟后再试\n"},
  };
  // The limited service's one token for this machine goes to a first run, stopped at once.
  {
    Cli first({"cpu"}, {{"SORVANTA_SERVICE_URL", limited->BaseUrl()}, {"XDG_DATA_HOME", dir.path()}});
    ASSERT_TRUE(WaitFor([&] { return first.out().find("请求试卷中") != std::string::npos; }, 20000)) << first.err();
    first.Signal(SIGINT);
    ASSERT_TRUE(first.Wait(20000));
  }
  for (const Case& c : cases) {
    Cli cli({"cpu"}, {{"SORVANTA_SERVICE_URL", c.url}, {"XDG_DATA_HOME", dir.path()}});
    ASSERT_TRUE(cli.Wait(60000));
    EXPECT_EQ(cli.code(), 1);
    EXPECT_NE(cli.err().find(c.line), std::string::npos) << cli.err();
    EXPECT_EQ((cli.out() + cli.err()).find("curl err"), std::string::npos) << cli.err();
  }
}

TEST(CliCpu, CtrlCEndsTheExamPromptly) {
  testing::TempDir dir("clicpu");
  fs::create_directories(dir.Path("service"));
  server::ServiceOptions so;
  so.port = 0;
  so.dataDir = dir.Path("service");
  std::string error;
  auto service = server::ReferenceService::Start(so, &error);
  ASSERT_TRUE(service) << error;
  Cli cli({"cpu"}, {{"SORVANTA_SERVICE_URL", service->BaseUrl()}, {"XDG_DATA_HOME", dir.path()}});
  ASSERT_TRUE(WaitFor([&] { return cli.out().find("开始单核考试") != std::string::npos; }, 20000)) << cli.out() << cli.err();
  cli.Signal(SIGINT);
  auto start = Clock::now();
  ASSERT_TRUE(cli.Wait(5000)) << "Ctrl-C did not reach the exam";
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_NE(cli.code(), 0);
}
#endif

}  // namespace
}  // namespace sorvanta
