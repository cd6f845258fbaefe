#include "platform/program_file.h"

#include <elf.h>
#include <link.h>
#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/file_replace.h"

namespace sorvanta::platform {
namespace {

// e_machine of the processor this program was built for; 0 where it is not listed, and
// the running program's own header decides instead.
constexpr uint16_t kBuiltForMachine =
#if defined(__x86_64__)
    EM_X86_64;
#elif defined(__aarch64__)
    EM_AARCH64;
#elif defined(__i386__)
    EM_386;
#elif defined(__arm__)
    EM_ARM;
#elif defined(__riscv)
    EM_RISCV;
#else
    0;
#endif

uint16_t OwnMachine() {
  if (kBuiltForMachine != 0) return kBuiltForMachine;
  static const uint16_t fromSelf = [] {
    ElfW(Ehdr) header{};
    int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return uint16_t{0};
    ssize_t n = ::read(fd, &header, sizeof header);
    ::close(fd);
    return n == static_cast<ssize_t>(sizeof header) ? header.e_machine : uint16_t{0};
  }();
  return fromSelf;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string ProgramPath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool IsRunnableHere(const std::string& bytes) {
  // Only the native word size is accepted, so the native header layout reads it.
  ElfW(Ehdr) header;
  if (bytes.size() < sizeof header) return false;
  std::memcpy(&header, bytes.data(), sizeof header);
  const unsigned char* id = header.e_ident;
  if (std::memcmp(id, ELFMAG, SELFMAG) != 0) return false;
  if (id[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32)) return false;
  const unsigned char ownOrder =
      __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
  if (id[EI_DATA] != ownOrder || id[EI_VERSION] != EV_CURRENT) return false;
  if (header.e_type != ET_EXEC && header.e_type != ET_DYN) return false;
  if (header.e_machine != OwnMachine() || header.e_machine == 0) return false;
  // A program has an entry point and program headers inside the file.
  if (header.e_entry == 0 || header.e_phnum == 0 || header.e_phoff == 0) return false;
  const unsigned long long phEnd =
      static_cast<unsigned long long>(header.e_phoff) +
      static_cast<unsigned long long>(header.e_phnum) * header.e_phentsize;
  return header.e_phentsize == sizeof(ElfW(Phdr)) && phEnd <= bytes.size();
}

ProcessIdentity OwnIdentity() {
  ProcessIdentity who;
  who.effectiveUid = ::geteuid();
  who.secure = ::getauxval(AT_SECURE) != 0;
  return who;
}

std::string ReplaceRefusal(const std::string& path, const ProcessIdentity& who) {
  if (who.effectiveUid == 0) return "running as root";
  if (who.secure) return "started with privileges of another user or group";
  if (path == "/usr" || path.rfind("/usr/", 0) == 0) return "installed under /usr";
  struct stat file {};
  if (::stat(path.c_str(), &file) != 0) return "cannot examine " + path + ": " + std::strerror(errno);
  if (file.st_uid != who.effectiveUid) return path + " belongs to another user";
  return "";
}

bool IsWritableFolder(const std::string& folder) {
  return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

Status ReplaceProgramFile(const std::string& path, const std::string& bytes) {
  const std::string folder = FolderOf(path);
  Result<ClaimedFile> claimed = ClaimTemporaryFile(folder, ".sorvanta-update-", 0600);
  if (!claimed.ok()) return claimed.status();
  int fd = claimed->fd;
  const std::string temporary = claimed->path;

  auto abandon = [&](const std::string& what, int code) {
    if (fd >= 0) ::close(fd);
    ::unlink(temporary.c_str());
    return Status::FromErrno(code, what);
  };

  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return abandon("cannot write " + temporary, n < 0 ? errno : ENOSPC);
    written += static_cast<size_t>(n);
  }

  // The new file keeps the old one's permissions, executable wherever it is readable; a
  // set-id bit is never carried over to a program this process chose.
  struct stat old {};
  mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 0777) : 0755;
  mode |= (mode & 0444) >> 2;
  if (::fchmod(fd, mode) != 0) return abandon("cannot make " + temporary + " executable", errno);
  if (::fsync(fd) != 0) return abandon("cannot flush " + temporary, errno);
  const int closing = ::close(fd);
  fd = -1;
  if (closing != 0) return abandon("cannot close " + temporary, errno);

  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    return abandon("cannot put the new program in place of " + path, errno);
  }
  // The rename itself reaches the disk with the folder; the new program is in place
  // already, so a failure here is not undone.
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return Status::Ok();
}

}  // namespace sorvanta::platform
