#include "diskbench/prefill.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/direct_io.h"
#include "platform/paths.h"
#include "platform/volumes.h"

namespace sorvanta::diskbench {

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

std::string PrefillChunkName(int step, uint64_t chunk) {
  return "prewritefile" + std::to_string(step) + "_" + std::to_string(chunk);
}

std::string PrefillRemainderName(int step) { return "prewritefileE_" + std::to_string(step); }

bool CreateFilledFile(const std::string& path, uint64_t size, int* error) {
  platform::FileSystem& fs = platform::Files();
  Result<std::unique_ptr<platform::File>> opened = fs.Open(path, platform::OpenMode::kCreateNew, false);
  if (!opened.ok()) {
    *error = opened.status().errnoValue();
    return false;
  }
  std::unique_ptr<platform::File> f = std::move(opened).value();
  int err = f->Allocate(size).errnoValue();
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

bool ClaimFilledFile(const std::string& folder, const std::string& name, uint64_t size, std::string* path,
                     int* error) {
  for (int n = 0; n < 1000; ++n) {
    *path = platform::JoinPath(folder, n == 0 ? name : name + "_" + std::to_string(n));
    if (CreateFilledFile(*path, size, error)) return true;
    if (*error != EEXIST) return false;
  }
  return false;
}

}  // namespace sorvanta::diskbench
