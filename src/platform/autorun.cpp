#include "platform/autorun.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/volumes.h"

namespace sorvanta::platform {
namespace {

constexpr const char* kAutorunName = "autorun.inf";

// Clears the "read-only" state of an entry the Linux way: owner read/write (and search
// for folders). Links have no mode of their own and are left as they are. Returns false
// only when the file system refuses changes altogether (read-only media).
bool MakeWritable(int dirFd, const char* name, const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return true;
  mode_t mode = S_ISDIR(st.st_mode) ? (st.st_mode | S_IRWXU) : (st.st_mode | S_IRUSR | S_IWUSR);
  if (fchmodat(dirFd, name, mode & 07777, 0) == 0) return true;
  // Not being the owner (or a FAT mount that ignores modes) does not stop a deletion;
  // only a read-only file system means the entry must be left alone.
  return errno != EROFS;
}

// True when the folder entry is the root of a mount: another file system, or a bind mount
// of a folder of this one (same device, so only the kernel's mount-root flag tells).
bool IsMountRoot(int dirFd, const char* name, const struct stat& st, dev_t device) {
  if (st.st_dev != device) return true;
  struct statx stx{};
  if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, 0, &stx) != 0) return true;
  return (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

// Deletes the content of the open folder dirFd depth first, never following links and
// never descending into another file system. Returns false when anything stayed.
bool EmptyFolder(int dirFd, dev_t device) {
  int listFd = dup(dirFd);
  if (listFd < 0) return false;
  DIR* dir = fdopendir(listFd);
  if (!dir) {
    close(listFd);
    return false;
  }
  bool ok = true;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st{};
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      ok = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      if (IsMountRoot(dirFd, name.c_str(), st, device)) {  // a mount point inside the folder: leave it
        ok = false;
        continue;
      }
      MakeWritable(dirFd, name.c_str(), st);
      int childFd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (childFd < 0) {
        ok = false;
        continue;
      }
      bool childOk = EmptyFolder(childFd, device);
      close(childFd);
      if (!childOk || unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) ok = false;
    } else if (unlinkat(dirFd, name.c_str(), 0) != 0) {
      ok = false;
    }
  }
  closedir(dir);
  return ok;
}

}  // namespace

AutorunOutcome RemoveAutorunEntry(const std::string& root) {
  int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return AutorunOutcome::kAbsent;
  AutorunOutcome outcome = AutorunOutcome::kRemoved;
  struct stat st{}, rootSt{};
  if (fstatat(rootFd, kAutorunName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    outcome = AutorunOutcome::kAbsent;
  } else if (S_ISDIR(st.st_mode) &&
             (fstat(rootFd, &rootSt) != 0 || IsMountRoot(rootFd, kAutorunName, st, rootSt.st_dev))) {
    outcome = AutorunOutcome::kFailed;  // something is mounted on the entry itself: not ours to empty
  } else if (!MakeWritable(rootFd, kAutorunName, st)) {
    outcome = AutorunOutcome::kSkipped;
  } else if (S_ISDIR(st.st_mode)) {
    int dirFd = openat(rootFd, kAutorunName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    bool emptied = dirFd >= 0 && EmptyFolder(dirFd, st.st_dev);
    if (dirFd >= 0) close(dirFd);
    if (!emptied || unlinkat(rootFd, kAutorunName, AT_REMOVEDIR) != 0) outcome = AutorunOutcome::kFailed;
  } else if (unlinkat(rootFd, kAutorunName, 0) != 0) {
    outcome = AutorunOutcome::kFailed;
  }
  close(rootFd);
  return outcome;
}

std::vector<AutorunResult> RemoveAutorunEntries() {
  std::vector<AutorunResult> results;
  for (const Volume& volume : Volumes().List()) {
    results.push_back({volume.root, RemoveAutorunEntry(volume.root)});
  }
  return results;
}

}  // namespace sorvanta::platform
