#include "diskbench/disk_submission.h"

#include <vector>

#include "diskbench/disk_results.h"
#include "service/crypto.h"
#include "service/requests.h"

namespace sorvanta {

Json::Value DiskSubmissionObject(const DiskSubmission& s) {
  Json::Value r(Json::objectValue);
  for (size_t i = 0; i < 7; ++i) r[kDiskCellKeys[i]] = CellNumber(s.cells[i]);
  r["prefill"] = s.prefill;
  r["writesize"] = s.writeSizeGiB;
  r["timestamp"] = static_cast<double>(s.timestamp);
  r["platform"] = s.platform;
  r["diskname"] = s.diskName;
  return r;
}

std::string DiskSubmissionBody(const DiskSubmission& s, const std::string& clientTag) {
  if (s.serial.size() <= 1) return {};
  std::string plain = DiskSubmissionObject(s).toStyledString() + "||" + clientTag;
  if (plain.size() > 1048576) return {};
  uint8_t key[16] = {};
  for (size_t i = 1; i < s.serial.size() && i <= 16; ++i) key[i - 1] = static_cast<uint8_t>(s.serial[i]);
  int rounds = static_cast<int8_t>(s.serial[0]);
  std::vector<uint8_t> data(plain.begin(), plain.end());
  for (int r = 0; r < rounds; ++r) data = Sm4EcbCrypt(data, key, 1);
  return Base64Encode(data.data(), data.size()) + "||" + s.serial;
}

std::string PostDiskSubmission(const DiskSubmission& s) {
  std::string body = DiskSubmissionBody(s, ClientTag());
  if (body.empty()) return {};
  return ServicePostText(ServiceUrl("sorvanta/diskbench"), body);
}

}  // namespace sorvanta
