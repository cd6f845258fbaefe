// The score request of one completed disk benchmark row.
//
// The row's seven cells, its mode, the write size, the board and the drive line go into a
// styled JSON object; that text plus "||" and the client tag is encrypted with SM4 under a
// key taken from the disk serial, as many times as the serial's first byte says, and sent
// Base64-encoded with "||" and the serial to "sorvanta/diskbench". The reply is the score.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>

#include "diskbench/disk_history.h"

namespace sorvanta {

struct DiskSubmission {
  DiskRowCells cells;       // columns 1..7 of the row as shown
  int prefill = 0;          // the row 0..3
  double writeSizeGiB = 0;  // "writesize"
  int64_t timestamp = 0;    // seconds since 1970 UTC
  std::string platform;     // board maker + "_" + board product
  std::string diskName;     // the drive line
  std::string serial;       // the disk's serial, sent as it is
};

// The twelve keys; cells become numbers as "%f" reads them (0 for "未测试" or empty).
Json::Value DiskSubmissionObject(const DiskSubmission& s);
// The request body, or "" when the serial is too short (1 byte or less) to give a key or the
// plain text does not fit in 1 MiB. A serial whose first byte gives no rounds (0 or above
// 127) sends the plain text Base64-encoded, which is what the service expects then.
std::string DiskSubmissionBody(const DiskSubmission& s, const std::string& clientTag);
// Posts the body to the service (up to five attempts); the reply, or "" when the body could
// not be built or no attempt succeeded. Blocks: call it off the window thread.
std::string PostDiskSubmission(const DiskSubmission& s);

}  // namespace sorvanta
