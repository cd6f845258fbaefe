#include "diskbench/prefill.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/direct_io.h"
#include "platform/paths.h"
#include "platform/volumes.h"

namespace sorvanta {
namespace {

// The note: a folder and, per step (at most two), the number of chunk files and whether
// the remainder exists. Names are rebuilt from it, so any number of files fits.
char g_noteFolder[4096];
std::atomic<bool> g_noteActive{false};
std::atomic<uint64_t> g_noteChunks[2];
std::atomic<bool> g_noteRemainder[2];

size_t Append(char* buf, size_t pos, const char* text) {
  while (*text && pos + 1 < sizeof g_noteFolder) buf[pos++] = *text++;
  buf[pos] = 0;
  return pos;
}

size_t AppendNumber(char* buf, size_t pos, uint64_t n) {
  char digits[24];
  int len = 0;
  do {
    digits[len++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n);
  char text[24];
  for (int i = 0; i < len; ++i) text[i] = digits[len - 1 - i];
  text[len] = 0;
  return Append(buf, pos, text);
}

}  // namespace

void NoteFillFolder(const std::string& folder) {
  g_noteActive = false;
  for (int s = 0; s < 2; ++s) {
    g_noteChunks[s] = 0;
    g_noteRemainder[s] = false;
  }
  if (folder.size() >= sizeof g_noteFolder - 64) return;
  std::memcpy(g_noteFolder, folder.c_str(), folder.size() + 1);
  g_noteActive = true;
}

void NoteFillChunks(int step, uint64_t count) {
  if (step >= 0 && step < 2) g_noteChunks[step] = count;
}

void NoteFillRemainder(int step) {
  if (step >= 0 && step < 2) g_noteRemainder[step] = true;
}

void ForgetFillFiles() { g_noteActive = false; }

void RemoveNotedFillFilesNow() {
  if (!g_noteActive) return;
  char path[sizeof g_noteFolder];
  for (int s = 0; s < 2; ++s) {
    uint64_t chunks = g_noteChunks[s];
    for (uint64_t j = 0; j < chunks; ++j) {
      size_t pos = Append(path, 0, g_noteFolder);
      pos = Append(path, pos, "prewritefile");
      pos = AppendNumber(path, pos, static_cast<uint64_t>(s));
      pos = Append(path, pos, "_");
      AppendNumber(path, pos, j);
      ::unlink(path);
    }
    if (g_noteRemainder[s]) {
      size_t pos = Append(path, 0, g_noteFolder);
      pos = Append(path, pos, "prewritefileE_");
      AppendNumber(path, pos, static_cast<uint64_t>(s));
      ::unlink(path);
    }
  }
  g_noteActive = false;
}

PrefillPlan PlanPrefill(bool fill50, bool fill90, uint64_t total, uint64_t freeBytes, uint64_t minFree) {
  PrefillPlan plan;
  uint64_t used = total > freeBytes ? total - freeBytes : 0;
  uint64_t first = 0;
  if (fill50 && used < total / 2) {
    uint64_t amount = total / 2 - used;
    if (total - amount - used < minFree) {
      plan.refusedPercent = 50;
      return plan;
    }
    plan.steps.push_back({amount, 1});
    first = amount;
  }
  uint64_t target90 = total / 10 * 9 + total % 10 * 9 / 10;  // total x 9 / 10 without overflow
  if (fill90 && used < target90) {
    uint64_t amount = target90 - used;
    if (total - amount - used < minFree) {
      plan.steps.clear();
      plan.refusedPercent = 90;
      return plan;
    }
    plan.steps.push_back({amount - first, 2});
  }
  return plan;
}

std::string PrefillFolder(const std::string& root, const std::string& tempFolder) {
  std::string temp = tempFolder;
  if (!temp.empty() && temp.back() != '/') temp += '/';
  if (!temp.empty() && platform::SameFileSystem(root, temp)) return temp;
  return root == "/" ? root : root + "/";
}

std::string PrefillChunkName(int step, uint64_t chunk) {
  return "prewritefile" + std::to_string(step) + "_" + std::to_string(chunk);
}

std::string PrefillRemainderName(int step) { return "prewritefileE_" + std::to_string(step); }

bool CreateFilledFile(const std::string& path, uint64_t size, int* error) {
  platform::FileSystem& fs = platform::Files();
  int err = 0;
  std::unique_ptr<platform::File> f = fs.Open(path, platform::OpenMode::kCreateTruncate, false, &err);
  if (!f) {
    *error = err;
    return false;
  }
  err = f->Allocate(size);
  if (err == EOPNOTSUPP || err == ENOSYS) {
    // The file system cannot reserve without writing: write the file and flush it, so that
    // the space is taken before the measurements begin.
    platform::AlignedBuffer block(16u << 20);
    if (!block.ok()) {
      err = ENOMEM;
    } else {
      uint64_t done = 0;
      err = 0;
      while (done < size) {
        size_t len = static_cast<size_t>(std::min<uint64_t>(block.size(), size - done));
        ssize_t n = f->Write(block.data(), len);
        if (n != static_cast<ssize_t>(len)) {
          err = f->LastError() ? f->LastError() : ENOSPC;
          break;
        }
        done += len;
      }
      if (!err && !f->Sync()) err = f->LastError() ? f->LastError() : EIO;
    }
  }
  f.reset();
  if (err) {
    fs.Remove(path);
    *error = err;
    return false;
  }
  *error = 0;
  return true;
}

}  // namespace sorvanta
