#include "cpubench/exam_token.h"

#include <cstring>

#include "platform/clock.h"
#include "service/crypto.h"
#include "service/requests.h"
#include "service/text.h"

namespace sorvanta {

const char* const kTokenNoReplyText = "服务器通讯错误，此时无法跑分，请检查网络或者请稍后再试！";
const char* const kTokenRefusedText = "当前跑分人数过多，请稍后再试！";

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

std::string RequestExamToken(const CpuMachine& m) {
  const DeviceFingerprint fp =
      BuildDeviceFingerprint(m.brandString, m.machineId, static_cast<int64_t>(platform::WallClock()));
  return ServicePostText(ServiceUrl("sorvanta/getTokenV3"), BuildTokenRequestBody(fp, m.logicalCores));
}

bool IsValidExamCredential(const std::string& reply) {
  const std::vector<std::string> pieces = SplitPieces(reply, "||");
  return !pieces.empty() && Base64Decode(pieces[0]).size() == 17;
}

TokenVerdict JudgeTokenReply(const std::string& reply) {
  if (reply.empty()) return TokenVerdict::kNoReply;
  return IsValidExamCredential(reply) ? TokenVerdict::kAccepted : TokenVerdict::kRefused;
}

}  // namespace sorvanta
