#include "platform/autorun.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

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

// Where an entry's file system is mounted: its device and, where the kernel tells it,
// its mount id and whether the entry is itself the root of a mount.
struct MountPlace {
  dev_t device = 0;
  bool hasMountId = false;
  uint64_t mountId = 0;
  bool mountRoot = false;
};

bool PlaceOf(int dirFd, const char* name, int flags, MountPlace* place) {
  struct statx sx{};
  if (statx(dirFd, name, flags | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &sx) != 0) return false;
  place->device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  place->hasMountId = (sx.stx_mask & STATX_MNT_ID) != 0;
  place->mountId = sx.stx_mnt_id;
  place->mountRoot = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                     (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  return true;
}

// True when the entry name in dirFd is not plainly part of the volume at `volume`: another
// file system mounted there, the same one mounted again (a bind mount), or an entry
// that cannot be examined. Such an entry and everything below it are left alone.
bool ElsewhereMounted(int dirFd, const char* name, const MountPlace& volume) {
  MountPlace place;
  if (!PlaceOf(dirFd, name, 0, &place)) return true;
  if (place.device != volume.device || place.mountRoot) return true;
  return volume.hasMountId && place.hasMountId && place.mountId != volume.mountId;
}

// Deletes the content of the open folder dirFd depth first, never following links and
// never descending into another mount. Returns false when anything stayed.
bool EmptyFolder(int dirFd, const MountPlace& volume) {
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
    if (ElsewhereMounted(dirFd, name.c_str(), volume)) {  // a mount point inside the folder: leave it
      ok = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      MakeWritable(dirFd, name.c_str(), st);
      int childFd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (childFd < 0) {
        ok = false;
        continue;
      }
      bool childOk = EmptyFolder(childFd, volume);
      close(childFd);
      if (!childOk || unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) ok = false;
    } else if (unlinkat(dirFd, name.c_str(), 0) != 0) {
      ok = false;
    }
  }
  closedir(dir);
  return ok;
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
  struct stat st{};
  if (fstatat(rootFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return AutorunOutcome::kAbsent;
  // Checked before anything is changed: even the mode of a mounted root stays as it is.
  if (ElsewhereMounted(rootFd, name, volume)) return AutorunOutcome::kSkipped;
  if (!MakeWritable(rootFd, name, st)) return AutorunOutcome::kSkipped;
  if (S_ISDIR(st.st_mode)) {
    int dirFd = openat(rootFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    bool emptied = dirFd >= 0 && EmptyFolder(dirFd, volume);
    if (dirFd >= 0) close(dirFd);
    if (!emptied || unlinkat(rootFd, name, AT_REMOVEDIR) != 0) return AutorunOutcome::kFailed;
    return AutorunOutcome::kRemoved;
  }
  return unlinkat(rootFd, name, 0) == 0 ? AutorunOutcome::kRemoved : AutorunOutcome::kFailed;
}

}  // namespace

AutorunOutcome RemoveAutorunEntry(const std::string& root) {
  int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return AutorunOutcome::kAbsent;
  MountPlace volume;
  AutorunOutcome outcome = AutorunOutcome::kAbsent;
  if (PlaceOf(rootFd, "", AT_EMPTY_PATH, &volume)) {
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
  for (const Volume& volume : Volumes().List()) {
    results.push_back({volume.root, RemoveAutorunEntry(volume.root)});
  }
  return results;
}

}  // namespace sorvanta::platform
