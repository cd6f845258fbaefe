#include "platform/autorun.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/volumes.h"

namespace sorvanta::platform {
namespace {

constexpr const char* kAutorunName = "autorun.inf";

// Where an open file system object is mounted: its device and, where the kernel tells it,
// its mount id and whether the object is itself the root of a mount.
struct MountPlace {
  dev_t device = 0;
  bool hasMountId = false;
  uint64_t mountId = 0;
  bool mountRoot = false;
};

bool PlaceOf(int fd, MountPlace* place) {
  struct statx sx{};
  if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &sx) != 0) return false;
  place->device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  place->hasMountId = (sx.stx_mask & STATX_MNT_ID) != 0;
  place->mountId = sx.stx_mnt_id;
  place->mountRoot = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                     (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  return true;
}

// True when the open folder is not plainly part of the volume at `volume`: another file
// system mounted there, the same one mounted again (a bind mount), or a folder that cannot
// be examined. Such a folder and everything below it are left alone.
bool ElsewhereMounted(int fd, const MountPlace& volume) {
  MountPlace place;
  if (!PlaceOf(fd, &place)) return true;
  if (place.device != volume.device || place.mountRoot) return true;
  return volume.hasMountId && place.hasMountId && place.mountId != volume.mountId;
}

// Gives the owner read, write and search rights on an open folder. Only ever applied to a
// descriptor opened with O_NOFOLLOW, so a name swapped for a link meanwhile cannot redirect
// it; failure (not the owner, a FAT mount) is left to the deletion that follows.
void OpenUp(int dirFd) {
  struct stat st{};
  if (fstat(dirFd, &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_IRWXU) != S_IRWXU)
    fchmod(dirFd, (st.st_mode | S_IRWXU) & 07777);
}

// Opens the folder `name` of dirFd for listing without following a link. A folder this user
// may not list is first held by an O_PATH descriptor, opened up through that descriptor
// (never through the name) and then reopened from it.
int OpenFolder(int dirFd, const char* name) {
  int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 || errno != EACCES) return fd;
  int pathFd = openat(dirFd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (pathFd < 0) return -1;
  struct stat st{};
  if (fstat(pathFd, &st) == 0 && S_ISDIR(st.st_mode)) {
    // An O_PATH descriptor takes no fchmod; its /proc link names exactly the held folder.
    std::string self = "/proc/self/fd/" + std::to_string(pathFd);
    chmod(self.c_str(), (st.st_mode | S_IRWXU) & 07777);
  }
  fd = openat(pathFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  close(pathFd);
  return fd;
}

// Removes `name` from the open folder dirFd: a file or link by unlinking it, a folder by
// emptying it depth first and removing it. Never follows a link, never enters another
// mount, and changes modes only of folders held open by descriptor. errno of the failure
// that left something in place goes to *error (0 when all is gone).
bool RemoveEntry(int dirFd, const char* name, const MountPlace& volume, int* error);

// Deletes the content of the open folder dirFd. False when anything stayed.
bool EmptyFolder(int dirFd, const MountPlace& volume, int* error) {
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
    if (!RemoveEntry(dirFd, name.c_str(), volume, error)) ok = false;
  }
  closedir(dir);
  return ok;
}

// unlinkat, retried once with the folder opened up when it refused for want of rights.
int UnlinkIn(int dirFd, const char* name, int flags, bool mayOpenUp) {
  if (unlinkat(dirFd, name, flags) == 0) return 0;
  if ((errno != EACCES && errno != EPERM) || !mayOpenUp) return -1;
  const int first = errno;
  OpenUp(dirFd);
  if (unlinkat(dirFd, name, flags) == 0) return 0;
  errno = first;
  return -1;
}

bool RemoveFolder(int parentFd, const char* name, const MountPlace& volume, bool parentOurs, int* error) {
  int fd = OpenFolder(parentFd, name);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  if (ElsewhereMounted(fd, volume)) {  // a mount point: leave it and all in it
    close(fd);
    *error = EBUSY;
    return false;
  }
  bool emptied = EmptyFolder(fd, volume, error);
  close(fd);
  if (!emptied) return false;
  if (UnlinkIn(parentFd, name, AT_REMOVEDIR, parentOurs) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

bool RemoveEntry(int dirFd, const char* name, const MountPlace& volume, int* error) {
  if (UnlinkIn(dirFd, name, 0, true) == 0) return true;
  if (errno == EISDIR) return RemoveFolder(dirFd, name, volume, true, error);
  if (errno == ENOENT) return true;
  *error = errno;
  return false;
}

// Names in the root that spell "autorun.inf" in any mix of cases, as the name is matched
// on the platform that runs these files.
std::vector<std::string> AutorunNames(int rootFd) {
  std::vector<std::string> names;
  int listFd = dup(rootFd);
  if (listFd < 0) return names;
  DIR* dir = fdopendir(listFd);
  if (!dir) {
    close(listFd);
    return names;
  }
  while (struct dirent* entry = readdir(dir)) {
    if (strcasecmp(entry->d_name, kAutorunName) == 0) names.emplace_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

// Order of outcomes from best to worst, for a root that holds several spellings.
int Severity(AutorunOutcome outcome) {
  switch (outcome) {
    case AutorunOutcome::kAbsent: return 0;
    case AutorunOutcome::kRemoved: return 1;
    case AutorunOutcome::kSkipped: return 2;
    case AutorunOutcome::kFailed: return 3;
  }
  return 3;
}

AutorunOutcome RemoveOne(int rootFd, const char* name, const MountPlace& volume) {
  // The root's own mode is never changed: only the entry and what lies in it.
  int error = 0;
  if (unlinkat(rootFd, name, 0) == 0) return AutorunOutcome::kRemoved;
  if (errno == ENOENT) return AutorunOutcome::kAbsent;
  if (errno == EROFS || errno == EBUSY) return AutorunOutcome::kSkipped;  // read-only media, a mounted file
  if (errno != EISDIR) return AutorunOutcome::kFailed;
  int fd = OpenFolder(rootFd, name);
  if (fd < 0) return errno == ENOENT ? AutorunOutcome::kAbsent : AutorunOutcome::kFailed;
  // Checked before anything is changed inside: a mounted entry is left whole.
  const bool elsewhere = ElsewhereMounted(fd, volume);
  close(fd);
  if (elsewhere) return AutorunOutcome::kSkipped;
  if (RemoveFolder(rootFd, name, volume, false, &error)) return AutorunOutcome::kRemoved;
  return error == EROFS ? AutorunOutcome::kSkipped : AutorunOutcome::kFailed;
}

}  // namespace

AutorunOutcome RemoveAutorunEntry(const std::string& root) {
  int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return AutorunOutcome::kAbsent;
  MountPlace volume;
  AutorunOutcome outcome = AutorunOutcome::kAbsent;
  if (PlaceOf(rootFd, &volume)) {
    // Several spellings can sit side by side on a case-sensitive file system; the worst
    // outcome among them is reported.
    for (const std::string& name : AutorunNames(rootFd)) {
      const AutorunOutcome one = RemoveOne(rootFd, name.c_str(), volume);
      if (Severity(one) > Severity(outcome)) outcome = one;
    }
  }
  close(rootFd);
  return outcome;
}

std::vector<AutorunResult> RemoveAutorunEntries() {
  std::vector<AutorunResult> results;
  // A set-id start runs with rights its user does not have: it deletes nothing on their behalf.
  if (getauxval(AT_SECURE) != 0) return results;
  for (const Volume& volume : Volumes().List()) {
    results.push_back({volume.root, RemoveAutorunEntry(volume.root)});
  }
  return results;
}

}  // namespace sorvanta::platform
