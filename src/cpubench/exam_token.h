// The token request: the encrypted device fingerprint posted to "sorvanta/getTokenV3",
// and the judgement of the reply. Runs on the caller's thread and blocks for the whole
// exchange (up to five tries of 20 s).
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>

#include "cpubench/cpu_machine.h"

namespace sorvanta {

using DeviceFingerprint = std::array<uint8_t, 64>;

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial 0xFFFF, no reflection, no final XOR.
uint16_t Crc16CcittFalse(const uint8_t* data, size_t len);

// The 64-byte fingerprint: bytes 0-31 SM3 of brandString + machineId, 32-39 now as
// signed 64-bit little-endian, 40-61 zero, 62-63 the CRC-16 of bytes 0-61 little-endian.
DeviceFingerprint BuildDeviceFingerprint(const std::string& brandString,
                                         const std::string& machineId, int64_t now);

// The request body: the fingerprint plus a zero byte, its first 64 bytes SM4-ECB
// encrypted (logicalCores + 1) mod 256 times with a key of 16 bytes equal to that
// count, then Base64 of all 65 bytes (88 characters, ending in one "=").
std::string BuildTokenRequestBody(const DeviceFingerprint& fingerprint, int logicalCores);

// Builds the fingerprint of m at the current wall-clock time, posts the body to
// ServiceUrl("sorvanta/getTokenV3") and returns the reply text (empty on failure).
std::string RequestExamToken(const CpuMachine& m);

// How a token reply is judged before a run starts.
enum class TokenVerdict {
  kNoReply,   // empty: "服务器通讯错误，此时无法跑分，请检查网络或者请稍后再试！"; back to idle
  kRefused,   // credential not 17 bytes: "当前跑分人数过多，请稍后再试！"; start stays disabled
  kAccepted,  // build the device object and start RunCpuExam
};
TokenVerdict JudgeTokenReply(const std::string& reply);

// True when the first "||" piece of reply (the exam credential) Base64-decodes to
// exactly 17 bytes: a 16-byte SM4 key and the signed round count.
bool IsValidExamCredential(const std::string& reply);

// The user-facing texts of the two failed verdicts.
extern const char* const kTokenNoReplyText;
extern const char* const kTokenRefusedText;

}  // namespace sorvanta
