#include "platform/trim.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

extern char** environ;

namespace sorvanta::platform {

bool RunningAsRoot() { return geteuid() == 0; }

TrimOutcome RunTrim(const std::string& mountPoint, bool elevate, bool showOutput) {
  TrimOutcome out;
  std::vector<std::string> args;
  if (!RunningAsRoot()) {
    if (!elevate) return out;
    args.push_back("pkexec");
  }
  // An absolute path: ordinary users' PATH lacks the sbin folders, and the desktop's
  // polkit rule for pkexec names the program by its path.
  std::string fstrim = "fstrim";
  for (const char* path : {"/usr/sbin/fstrim", "/sbin/fstrim"}) {
    if (access(path, X_OK) == 0) {
      fstrim = path;
      break;
    }
  }
  args.insert(args.end(), {fstrim, "-v", mountPoint});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (showOutput) {
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return out;
  out.started = true;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return out;
  }
  out.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return out;
}

}  // namespace sorvanta::platform
