// The quick probe of a whole drive: instead of filling the drive, it writes tagged sectors
// at chosen places, pushes them out of the drive's write cache with further data, reads them
// back and narrows down where the drive stops keeping what it is given. Everything it
// overwrites is read first, kept in memory and in a backup file (so that a crash loses
// nothing: the next start puts it back), and written back and verified after each round.
//
// A drive that wraps its addresses drops the high address bits, so a write at x lands on
// x mod 2^k: after the sectors under test, the probe writes its sectors at those places too,
// and a sector under test that then holds one of them shows the wrap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "base/status.h"
#include "capacity/pattern_blocks.h"
#include "capacity/real_capacity.h"
#include "capacity/verdict.h"

namespace sorvanta::capacity {

// The probe's only way to the medium: whole 4096-byte sectors at byte offsets.
class ProbeDevice {
 public:
  virtual ~ProbeDevice() = default;
  virtual uint64_t Size() const = 0;
  // Buffers are 4096-aligned; false on a failure.
  virtual bool Read(uint64_t offset, uint8_t* data, size_t len) = 0;
  virtual bool Write(uint64_t offset, const uint8_t* data, size_t len) = 0;
  // Everything written is on the medium.
  virtual bool Flush() = 0;
};

// A write cache hands back the tagged sectors until at least its own size was written after
// them; 64 MiB gets past any cache of up to 64 MiB.
constexpr uint64_t kProbeDefaultFlushBytes = 64ull * 1024 * 1024;
constexpr size_t kProbePointsPerRound = 32;

struct ProbeOptions {
  // Data written after the tagged sectors and before they are read back, so that a drive's
  // write cache cannot hand them back; written at the start of the drive.
  uint64_t flushBytes = kProbeDefaultFlushBytes;
  // The backup file (created new; a file already there is refused: restore it first).
  std::string backupPath;
  // Names the device in the backup file, so that a later start restores the right one.
  std::string deviceName;
};

class ProbeEvents {
 public:
  virtual ~ProbeEvents() = default;
  virtual void Log(const std::string& message) = 0;
  virtual void Progress(int percent) = 0;
};

struct ProbeResult {
  // kFailed (a fake: failure wrap, drop or readError) or kPassed (no sign of one); kStopped,
  // kIncomplete when the probe could not finish. verdict.quick is set.
  Verdict verdict;
  uint64_t lowBound = 0;   // highest place that kept its own data (0: none)
  uint64_t highBound = 0;  // lowest place that did not (the claimed size when none)
  int rounds = 0;
  // Whether everything the probe overwrote was written back and read back the same; false
  // leaves the backup file in place for the next start.
  bool restored = true;
  // Why the probe ended early or could not restore, in the current language; errorSource
  // is the same in Chinese where the reason is the probe's own (what --json keeps).
  std::string error;
  std::string errorSource;
};

// The precision the probe narrows down to: 1 % of the size or 64 MiB, whichever is larger.
uint64_t ProbePrecision(uint64_t claimedBytes);

// Probes device; never returns before what it wrote is put back (or found impossible to
// put back, see restored).
ProbeResult RunQuickProbe(ProbeDevice& device, const ProbeOptions& options, ProbeEvents& events,
                          std::stop_token stop);

// The "error" of a probe's JSON in the current language: the probe's own reasons are
// translated, anything else (a system error's text) is returned as it is.
std::string ShownProbeError(const std::string& error);

// The device name a backup file is for; fails when the file cannot be read or is not one.
Result<std::string> ProbeBackupDevice(const std::string& backupPath);
// Writes back every sector kept in a backup file, reads each back to verify it, and deletes
// the file. An entry cut short by a crash (it has no valid checksum) was never written over,
// so it and anything behind it are ignored. Fails, keeping the file, when the device's size
// differs from the one recorded or a write or its check fails.
Status RestoreProbeBackup(const std::string& backupPath, ProbeDevice& device);


}  // namespace sorvanta::capacity
