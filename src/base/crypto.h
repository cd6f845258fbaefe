// SM3 hash, SM4-ECB cipher, Base64 and hexadecimal text.
//
// Plain portable code on 32-bit words with a byte-wise S-box: this is the CPU
// benchmark's workload, so it must cost the same on every machine. All functions
// work on caller-owned memory and are safe to call from any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sorvanta {

// Running SM3 state. Length is the number of bytes absorbed so far.
struct Sm3Context {
  uint32_t totalLow = 0;   // byte count, low 32 bits
  uint32_t totalHigh = 0;  // byte count, high 32 bits
  uint32_t state[8] = {};
  uint8_t buffer[64] = {};
};

constexpr size_t kSm3DigestSize = 32;
constexpr size_t kSm4KeySize = 16;

void Sm3Init(Sm3Context* ctx);
// Absorbs len bytes; full 64-byte blocks are compressed at once, the tail is buffered.
void Sm3Update(Sm3Context* ctx, const void* data, size_t len);
// Pads, finishes and writes the 32-byte digest (chaining words big-endian).
void Sm3Final(Sm3Context* ctx, uint8_t digest[32]);
void Sm3Digest(const void* data, size_t len, uint8_t digest[32]);
// Hashes a buffer whose length is a multiple of 64 by compressing its blocks directly;
// equals Sm3Digest of the same buffer. Used by the exam worker's 1 MiB buffers.
void Sm3DigestBlocks(const void* data, size_t len, uint8_t digest[32]);
std::string Sm3HexDigest(const void* data, size_t len);

// Status of Sm3File.
enum Sm3FileStatus : int { kSm3FileOk = 0, kSm3FileCannotOpen = 1, kSm3FileReadError = 2 };
// Digest of a whole file read in 1024-byte chunks. On kSm3FileCannotOpen the digest is
// untouched; on kSm3FileReadError it holds the digest of what was read.
int Sm3File(const std::string& path, uint8_t digest[32]);

// SM4-ECB with zero padding. mode 1 encrypts, any other value decrypts. *len is the input
// length on entry and the padded length (multiple of 16) on return; out must hold that
// many bytes and may be the same buffer as in. A length of 0 writes nothing.
void Sm4EcbCrypt(uint8_t* out, const uint8_t key[16], const uint8_t* in, size_t* len, int mode);
// Convenience: returns the processed (padded) bytes.
std::vector<uint8_t> Sm4EcbCrypt(const std::vector<uint8_t>& in, const uint8_t key[16], int mode);
// The SM4 S-box and the 32 round keys of a key (in decryption order unless encrypt), for
// code that runs its own table-driven rounds (the service's token pass search).
extern const uint8_t kSm4Sbox[256];
void Sm4RoundKeys(const uint8_t key[16], uint32_t rk[32], bool encrypt);

// Standard alphabet, "=" padding, no line breaks.
std::string Base64Encode(const void* data, size_t len);
inline std::string Base64Encode(const std::string& s) { return Base64Encode(s.data(), s.size()); }
// Lenient: characters outside the alphabet are skipped, "=" counts as a zero value that
// shortens its group, and a final group of fewer than 4 characters is dropped.
std::string Base64Decode(const std::string& text);

// Two lower-case digits per byte.
std::string HexEncode(const void* data, size_t len);
// Reads len/2 bytes (an odd last digit is ignored) into out. Fails, leaving out untouched,
// when that is more than capacity. Digits of either case.
bool HexDecode(const std::string& text, uint8_t* out, size_t capacity);

}  // namespace sorvanta
