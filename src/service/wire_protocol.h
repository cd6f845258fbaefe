// What the client puts on the wire to the online service, byte for byte: the device
// fingerprint and its CRC, the token request body, the encryption of the CPU result, and
// the disk score request (its keys and its encryption under the disk serial). Pure
// functions: no request is made here (service/token.h and service/disk_score.h send them).
#pragma once

#include <json/value.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sorvanta {

using DeviceFingerprint = std::array<uint8_t, 64>;

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial 0xFFFF, no reflection, no final XOR.
uint16_t Crc16CcittFalse(const uint8_t* data, size_t len);

// The 64-byte fingerprint: bytes 0-31 SM3 of brandString + machineId, 32-39 now as
// signed 64-bit little-endian, 40-61 zero, 62-63 the CRC-16 of bytes 0-61 little-endian.
DeviceFingerprint BuildDeviceFingerprint(const std::string& brandString,
                                         const std::string& machineId, int64_t now);

// The token request body: the fingerprint plus a zero byte, its first 64 bytes SM4-ECB
// encrypted (logicalCores + 1) mod 256 times with a key of 16 bytes equal to that
// count, then Base64 of all 65 bytes (88 characters, ending in one "=").
std::string BuildTokenRequestBody(const DeviceFingerprint& fingerprint, int logicalCores);

// Largest CPU result plaintext (zero padding included) that the submission will encrypt.
constexpr size_t kSubmissionBufferSize = 1048576;

// Encrypts plaintext rounds times with SM4-ECB under key (zero padding to a multiple of
// 16). A round count of 0 or less runs no pass and gives the zero-padded plaintext.
// Returns false, leaving *cipher empty, when the padded plaintext exceeds the 1 MiB
// working buffer.
bool EncryptSubmission(const std::string& plaintext, const uint8_t key[16], int rounds,
                       std::string* cipher);

// Keys of the seven disk figures (result columns 1..7, index 0..6) in a score request.
extern const std::array<const char*, 7> kDiskCellKeys;

// One completed disk benchmark row as the score request carries it.
struct DiskSubmission {
  std::array<double, 7> figures{};  // MB/s of columns 1..7 as submitted; 0 for one not measured
  int prefill = 0;                  // the row 0..3
  double writeSizeGiB = 0;          // "writesize"
  int64_t timestamp = 0;            // seconds since 1970 UTC
  std::string platform;             // board maker + "_" + board product
  std::string diskName;             // the drive line
  std::string serial;               // the disk's serial, sent as it is
};

// The twelve keys of the score request's JSON object.
Json::Value DiskSubmissionObject(const DiskSubmission& s);
// The styled object plus "||" and the client tag, encrypted with SM4 under a key taken from
// the serial as many times as the serial's first byte says, Base64, "||" and the serial. ""
// when the serial is too short (1 byte or less) to give a key or the plain text does not fit
// in 1 MiB. A serial whose first byte gives no rounds (0 or above 127) sends the plain text
// Base64-encoded, which is what the service expects then.
std::string DiskSubmissionBody(const DiskSubmission& s, const std::string& clientTag);

}  // namespace sorvanta
