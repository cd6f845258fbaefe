// The quick probe of a real drive, as the helper program and the command line run it as
// root: put back what an interrupted probe left in its backup file, make sure the device is
// a whole disk that may be written (removable, or forced; nothing mounted, or unmounted on
// request), then probe it through its raw device.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>

#include <json/json.h>

#include "base/status.h"
#include "capacity/quick_probe.h"
#include "platform/block_devices.h"

namespace sorvanta::capacity {

constexpr char kProbeBackupDir[] = "/var/lib/sorvanta";

struct DiskProbeRequest {
  std::string device;   // e.g. "/dev/sdb"
  bool force = false;   // also a disk that is not removable
  bool unmount = false; // unmount its file systems instead of refusing
  uint64_t flushBytes = kProbeDefaultFlushBytes;
  std::string backupDir = kProbeBackupDir;
};

// Where the backup goes: kProbeBackupDir, or the folder SORVANTA_PROBE_BACKUP_DIR names when
// root started the program itself (never through pkexec, so that a user cannot point the
// privileged helper at a backup file of their own making).
std::string ProbeBackupDir();

// The backup file of probes kept in dir.
std::string ProbeBackupPath(const std::string& dir);

// When dir holds the backup of an interrupted probe, writes it back to its device and
// deletes it (logged through events); ok when there was none.
Status RestorePendingProbe(const std::string& dir, ProbeEvents& events);

// Restores a pending backup, checks and opens the device, and probes it. A refusal or a
// failure before the probe comes back as the Status; otherwise the probe's result.
Result<ProbeResult> ProbeDisk(const DiskProbeRequest& request, ProbeEvents& events, std::stop_token stop);

// The whole removable disk that holds the volume mounted at root (e.g. "/dev/sdb"); empty
// when the volume is not on one.
std::string RemovableDiskOfVolume(const std::string& root, const platform::BlockRoots& roots = {});
// The confirmation before the window probes device: what it writes, that the drive is
// unmounted, and that its data is backed up and put back.
std::string QuickProbeQuestion(const std::string& device);

// The probe's JSON object: "mode" ("probe"), "device", "claimedBytes", "rounds", "restored",
// "error" and the verdict's keys.
Json::Value ProbeJson(const std::string& device, const ProbeResult& result);
// The verdict line of a probe's JSON (whose texts are Chinese) in the current language, when
// its keys give the same Chinese line, else its "verdictText" as it is; empty when it holds
// no verdict.
std::string ProbeVerdictLine(const Json::Value& probe);

}  // namespace sorvanta::capacity
