// The pieces of the exam protocol that both ends compute: the fingerprint's CRC, the
// token request body, paper bytes, block answers and repeated SM4 passes. The service
// uses them to check; tests and the load generator use them to play the client.
//
// This is deliberately the service's own copy, written apart from the client's
// (src/service/wire_protocol.h): the tests hold one against the other, so a slip on either
// side shows as a disagreement instead of passing unseen. Only SM3/SM4 are shared.
#pragma once

#include <cstdint>
#include <string>

namespace sorvanta::server {

constexpr size_t kFingerprintBytes = 64;
constexpr size_t kBlockBytes = 32;
constexpr size_t kWorkBufferBytes = 1048576;

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial 0xFFFF, no reflection, no final XOR.
uint16_t Crc16CcittFalse(const void* data, size_t len);

// The 64-byte device fingerprint: SM3 of identity, time (little-endian), zeros, CRC.
std::string MakeFingerprint(const std::string& identity, int64_t unixTime);
// The token request body the client posts: the fingerprint encrypted (cpuCount + 1) mod 256
// times with the key of that byte, a zero byte appended, Base64 (88 characters).
std::string MakeTokenRequestBody(const std::string& fingerprint, int cpuCount);

// What the service reads back from a token request body.
struct DecodedFingerprint {
  int passes = 0;          // n
  int cpuCount = 0;        // (n - 1) mod 256
  int64_t unixTime = 0;
  std::string machine;     // hex of the 32-byte identity digest
};
// Tries every pass count 0..255; false when the body is not 88 canonical Base64
// characters of 65 bytes or no pass count yields a well-formed fingerprint.
bool DecodeTokenRequestBody(const std::string& body, DecodedFingerprint* out);

// Paper bytes: SM4 in counter mode under the paper's 16-byte seed, so a paper is random to
// anybody without the seed and need not be kept on disk.
std::string PaperBytes(const std::string& seed, size_t bytes);
// The 32 bytes of block k of that paper, without generating the rest.
std::string PaperBlock(const std::string& seed, size_t k);

// The answer to one block: SM3 of the 32 block bytes zero-padded to 1 MiB (32 raw bytes).
std::string BlockAnswer(const std::string& block32);

// rounds SM4-ECB passes (zero padding to 16 bytes on the first); mode 1 encrypts, 0 decrypts.
// No pass runs when rounds <= 0.
std::string Sm4Passes(const std::string& data, const std::string& key16, int rounds, int mode);

// Strict Base64: decodes only text that is exactly the canonical encoding of its bytes.
bool DecodeBase64Strict(const std::string& text, std::string* out);

// Splits a decrypted submission "JSON||client tag" (zero padding already removed): the
// JSON part is the longest prefix before a "||" that ends with "}" (blanks allowed).
bool SplitJsonAndTag(const std::string& plain, std::string* json, std::string* tag);

}  // namespace sorvanta::server
