#include "service/wire_protocol.h"

#include <cstring>
#include <memory>
#include <vector>

#include "base/crypto.h"

namespace sorvanta {

const std::array<const char*, 7> kDiskCellKeys = {"linerbufferwrite", "linernobufferwrite", "linerread",
                                                  "fourkwrite",       "fourkread",          "mtfourkwrite",
                                                  "mtfourkread"};

uint16_t Crc16CcittFalse(const uint8_t* data, size_t len) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < len; ++i) {
    crc ^= static_cast<uint16_t>(data[i]) << 8;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
  }
  return crc;
}

DeviceFingerprint BuildDeviceFingerprint(const std::string& brandString, const std::string& machineId,
                                         int64_t now) {
  DeviceFingerprint fp{};
  const std::string identity = brandString + machineId;
  Sm3Digest(identity.data(), identity.size(), fp.data());
  const uint64_t t = static_cast<uint64_t>(now);
  for (int i = 0; i < 8; ++i) fp[32 + i] = static_cast<uint8_t>(t >> (8 * i));
  const uint16_t crc = Crc16CcittFalse(fp.data(), 62);
  fp[62] = static_cast<uint8_t>(crc & 0xFF);
  fp[63] = static_cast<uint8_t>(crc >> 8);
  return fp;
}

std::string BuildTokenRequestBody(const DeviceFingerprint& fingerprint, int logicalCores) {
  uint8_t buffer[65] = {};
  std::memcpy(buffer, fingerprint.data(), fingerprint.size());
  const int passes = ((logicalCores + 1) % 256 + 256) % 256;
  uint8_t key[16];
  std::memset(key, passes, sizeof(key));
  for (int i = 0; i < passes; ++i) {
    size_t len = 64;
    Sm4EcbCrypt(buffer, key, buffer, &len, 1);
  }
  return Base64Encode(buffer, sizeof(buffer));
}

bool EncryptSubmission(const std::string& plaintext, const uint8_t key[16], int rounds,
                       std::string* cipher) {
  cipher->clear();
  const size_t padded = (plaintext.size() + 15) & ~static_cast<size_t>(15);
  if (padded > kSubmissionBufferSize) return false;
  // Two working buffers of the fixed size: each pass reads one and writes the other.
  std::unique_ptr<uint8_t[]> in(new uint8_t[kSubmissionBufferSize]());
  std::unique_ptr<uint8_t[]> out(new uint8_t[kSubmissionBufferSize]());
  std::memcpy(in.get(), plaintext.data(), plaintext.size());
  size_t len = plaintext.size();
  for (int r = 0; r < rounds; ++r) {
    Sm4EcbCrypt(out.get(), key, in.get(), &len, 1);
    std::swap(in, out);
  }
  // With no pass the zero-padded plaintext stands in for the ciphertext.
  cipher->assign(reinterpret_cast<const char*>(in.get()), padded);
  return true;
}

Json::Value DiskSubmissionObject(const DiskSubmission& s) {
  Json::Value r(Json::objectValue);
  for (size_t i = 0; i < 7; ++i) r[kDiskCellKeys[i]] = s.figures[i];
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

}  // namespace sorvanta
