#include "base/crypto.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace sorvanta {

const uint8_t kSm4Sbox[256] = {
    0xd6, 0x90, 0xe9, 0xfe, 0xcc, 0xe1, 0x3d, 0xb7, 0x16, 0xb6, 0x14, 0xc2, 0x28, 0xfb, 0x2c, 0x05,
    0x2b, 0x67, 0x9a, 0x76, 0x2a, 0xbe, 0x04, 0xc3, 0xaa, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99,
    0x9c, 0x42, 0x50, 0xf4, 0x91, 0xef, 0x98, 0x7a, 0x33, 0x54, 0x0b, 0x43, 0xed, 0xcf, 0xac, 0x62,
    0xe4, 0xb3, 0x1c, 0xa9, 0xc9, 0x08, 0xe8, 0x95, 0x80, 0xdf, 0x94, 0xfa, 0x75, 0x8f, 0x3f, 0xa6,
    0x47, 0x07, 0xa7, 0xfc, 0xf3, 0x73, 0x17, 0xba, 0x83, 0x59, 0x3c, 0x19, 0xe6, 0x85, 0x4f, 0xa8,
    0x68, 0x6b, 0x81, 0xb2, 0x71, 0x64, 0xda, 0x8b, 0xf8, 0xeb, 0x0f, 0x4b, 0x70, 0x56, 0x9d, 0x35,
    0x1e, 0x24, 0x0e, 0x5e, 0x63, 0x58, 0xd1, 0xa2, 0x25, 0x22, 0x7c, 0x3b, 0x01, 0x21, 0x78, 0x87,
    0xd4, 0x00, 0x46, 0x57, 0x9f, 0xd3, 0x27, 0x52, 0x4c, 0x36, 0x02, 0xe7, 0xa0, 0xc4, 0xc8, 0x9e,
    0xea, 0xbf, 0x8a, 0xd2, 0x40, 0xc7, 0x38, 0xb5, 0xa3, 0xf7, 0xf2, 0xce, 0xf9, 0x61, 0x15, 0xa1,
    0xe0, 0xae, 0x5d, 0xa4, 0x9b, 0x34, 0x1a, 0x55, 0xad, 0x93, 0x32, 0x30, 0xf5, 0x8c, 0xb1, 0xe3,
    0x1d, 0xf6, 0xe2, 0x2e, 0x82, 0x66, 0xca, 0x60, 0xc0, 0x29, 0x23, 0xab, 0x0d, 0x53, 0x4e, 0x6f,
    0xd5, 0xdb, 0x37, 0x45, 0xde, 0xfd, 0x8e, 0x2f, 0x03, 0xff, 0x6a, 0x72, 0x6d, 0x6c, 0x5b, 0x51,
    0x8d, 0x1b, 0xaf, 0x92, 0xbb, 0xdd, 0xbc, 0x7f, 0x11, 0xd9, 0x5c, 0x41, 0x1f, 0x10, 0x5a, 0xd8,
    0x0a, 0xc1, 0x31, 0x88, 0xa5, 0xcd, 0x7b, 0xbd, 0x2d, 0x74, 0xd0, 0x12, 0xb8, 0xe5, 0xb4, 0xb0,
    0x89, 0x69, 0x97, 0x4a, 0x0c, 0x96, 0x77, 0x7e, 0x65, 0xb9, 0xf1, 0x09, 0xc5, 0x6e, 0xc6, 0x84,
    0x18, 0xf0, 0x7d, 0xec, 0x3a, 0xdc, 0x4d, 0x20, 0x79, 0xee, 0x5f, 0x3e, 0xd7, 0xcb, 0x39, 0x48};

namespace {

inline uint32_t Rotl(uint32_t x, unsigned n) { return (x << n) | (x >> ((32 - n) & 31)); }

inline uint32_t LoadBe32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// ---------------------------------------------------------------- SM3

constexpr uint32_t kSm3Iv[8] = {0x7380166f, 0x4914b2b9, 0x172442d7, 0xda8a0600,
                                0xa96f30bc, 0x163138aa, 0xe38dee4d, 0xb0fb0e4e};

// T_j rotated left by j mod 32, for every round.
struct Sm3RoundConstants {
  uint32_t k[64];
  constexpr Sm3RoundConstants() : k() {
    for (int j = 0; j < 64; ++j) {
      uint32_t t = j < 16 ? 0x79cc4519u : 0x7a879d8au;
      unsigned n = static_cast<unsigned>(j % 32);
      k[j] = n == 0 ? t : ((t << n) | (t >> (32 - n)));
    }
  }
};
constexpr Sm3RoundConstants kSm3K;

inline uint32_t P0(uint32_t x) { return x ^ Rotl(x, 9) ^ Rotl(x, 17); }
inline uint32_t P1(uint32_t x) { return x ^ Rotl(x, 15) ^ Rotl(x, 23); }

// One round; the caller rotates the roles of the eight words instead of moving them.
// wj is W[j], wj4 is W[j+4]; the constant folds to an immediate once the rounds are unrolled.
#define SM3_ROUND(A, B, C, D, E, F, G, H, j, FF, GG, wj, wj4)        \
  do {                                                             \
    const uint32_t a12 = Rotl(A, 12);                              \
    const uint32_t ss1 = Rotl(a12 + E + kSm3K.k[j], 7);            \
    const uint32_t tt1 = FF(A, B, C) + D + (ss1 ^ a12) + ((wj) ^ (wj4)); \
    const uint32_t tt2 = GG(E, F, G) + H + ss1 + (wj);             \
    B = Rotl(B, 9);                                                \
    F = Rotl(F, 19);                                               \
    D = tt1;                                                       \
    H = P0(tt2);                                                   \
  } while (0)

#define FF0(x, y, z) ((x) ^ (y) ^ (z))
#define FF1(x, y, z) (((x) & (y)) | (((x) | (y)) & (z)))
#define GG0(x, y, z) ((x) ^ (y) ^ (z))
#define GG1(x, y, z) ((((y) ^ (z)) & (x)) ^ (z))

// The message schedule lives in a ring of 16 words: W[j] sits at w[j % 16]. After round j
// the slot of W[j] receives W[j + 16], computed from words the ring still holds.
#define W(j) w[(j) & 15]
#define SM3_EXPAND(j) \
  W(j) = P1(W(j) ^ W((j) + 7) ^ Rotl(W((j) + 13), 15)) ^ Rotl(W((j) + 3), 7) ^ W((j) + 10)

// Four rounds starting at j, each followed by one schedule step when `expand` holds.
#define SM3_ROUNDS4(j, FF, GG, expand)                                     \
  do {                                                                     \
    SM3_ROUND(a, b, c, d, e, f, g, h, j, FF, GG, W(j), W((j) + 4));        \
    if (expand) SM3_EXPAND(j);                                             \
    SM3_ROUND(d, a, b, c, h, e, f, g, (j) + 1, FF, GG, W((j) + 1), W((j) + 5)); \
    if (expand) SM3_EXPAND((j) + 1);                                       \
    SM3_ROUND(c, d, a, b, g, h, e, f, (j) + 2, FF, GG, W((j) + 2), W((j) + 6)); \
    if (expand) SM3_EXPAND((j) + 2);                                       \
    SM3_ROUND(b, c, d, a, f, g, h, e, (j) + 3, FF, GG, W((j) + 3), W((j) + 7)); \
    if (expand) SM3_EXPAND((j) + 3);                                       \
  } while (0)

void Sm3Compress(uint32_t state[8], const uint8_t* block, size_t count) {
  uint32_t w[16];
  while (count-- > 0) {
    for (int j = 0; j < 16; ++j) w[j] = LoadBe32(block + 4 * j);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    SM3_ROUNDS4(0, FF0, GG0, true);
    SM3_ROUNDS4(4, FF0, GG0, true);
    SM3_ROUNDS4(8, FF0, GG0, true);
    SM3_ROUNDS4(12, FF0, GG0, true);
    SM3_ROUNDS4(16, FF1, GG1, true);
    SM3_ROUNDS4(20, FF1, GG1, true);
    SM3_ROUNDS4(24, FF1, GG1, true);
    SM3_ROUNDS4(28, FF1, GG1, true);
    SM3_ROUNDS4(32, FF1, GG1, true);
    SM3_ROUNDS4(36, FF1, GG1, true);
    SM3_ROUNDS4(40, FF1, GG1, true);
    SM3_ROUNDS4(44, FF1, GG1, true);
    SM3_ROUNDS4(48, FF1, GG1, true);  // the last schedule step yields W[67]
    SM3_ROUNDS4(52, FF1, GG1, false);
    SM3_ROUNDS4(56, FF1, GG1, false);
    SM3_ROUNDS4(60, FF1, GG1, false);
    state[0] ^= a; state[1] ^= b; state[2] ^= c; state[3] ^= d;
    state[4] ^= e; state[5] ^= f; state[6] ^= g; state[7] ^= h;
    block += 64;
  }
}

#undef SM3_ROUNDS4
#undef SM3_EXPAND
#undef W
#undef SM3_ROUND
#undef FF0
#undef FF1
#undef GG0
#undef GG1

void AddLength(Sm3Context* ctx, size_t len) {
  uint64_t total = (static_cast<uint64_t>(ctx->totalHigh) << 32) | ctx->totalLow;
  total += len;
  ctx->totalLow = static_cast<uint32_t>(total);
  ctx->totalHigh = static_cast<uint32_t>(total >> 32);
}

// ---------------------------------------------------------------- SM4


constexpr uint32_t kSm4Fk[4] = {0xa3b1bac6, 0x56aa3350, 0x677d9197, 0xb27022dc};

constexpr uint32_t kSm4Ck[32] = {
    0x00070e15, 0x1c232a31, 0x383f464d, 0x545b6269, 0x70777e85, 0x8c939aa1, 0xa8afb6bd, 0xc4cbd2d9,
    0xe0e7eef5, 0xfc030a11, 0x181f262d, 0x343b4249, 0x50575e65, 0x6c737a81, 0x888f969d, 0xa4abb2b9,
    0xc0c7ced5, 0xdce3eaf1, 0xf8ff060d, 0x141b2229, 0x30373e45, 0x4c535a61, 0x686f767d, 0x848b9299,
    0xa0a7aeb5, 0xbcc3cad1, 0xd8dfe6ed, 0xf4fb0209, 0x10171e25, 0x2c333a41, 0x484f565d, 0x646b7279};

// The non-linear substitution: the S-box applied to each byte of the word.
inline uint32_t Tau(uint32_t a) {
  return (static_cast<uint32_t>(kSm4Sbox[a >> 24]) << 24) |
         (static_cast<uint32_t>(kSm4Sbox[(a >> 16) & 0xff]) << 16) |
         (static_cast<uint32_t>(kSm4Sbox[(a >> 8) & 0xff]) << 8) |
         static_cast<uint32_t>(kSm4Sbox[a & 0xff]);
}

inline uint32_t Sm4T(uint32_t x) {
  uint32_t b = Tau(x);
  return b ^ Rotl(b, 2) ^ Rotl(b, 10) ^ Rotl(b, 18) ^ Rotl(b, 24);
}

inline uint32_t Sm4KeyT(uint32_t x) {
  uint32_t b = Tau(x);
  return b ^ Rotl(b, 13) ^ Rotl(b, 23);
}

void Sm4KeySchedule(const uint8_t key[16], uint32_t rk[32], bool encrypt) {
  uint32_t k[4];
  for (int i = 0; i < 4; ++i) k[i] = LoadBe32(key + 4 * i) ^ kSm4Fk[i];
  uint32_t forward[32];
  for (int i = 0; i < 32; ++i) {
    uint32_t next = k[0] ^ Sm4KeyT(k[1] ^ k[2] ^ k[3] ^ kSm4Ck[i]);
    forward[i] = next;
    k[0] = k[1];
    k[1] = k[2];
    k[2] = k[3];
    k[3] = next;
  }
  for (int i = 0; i < 32; ++i) rk[i] = encrypt ? forward[i] : forward[31 - i];
}

inline void Sm4Block(const uint32_t rk[32], const uint8_t* in, uint8_t* out) {
  uint32_t x0 = LoadBe32(in), x1 = LoadBe32(in + 4), x2 = LoadBe32(in + 8), x3 = LoadBe32(in + 12);
  for (int i = 0; i < 32; i += 4) {
    x0 ^= Sm4T(x1 ^ x2 ^ x3 ^ rk[i]);
    x1 ^= Sm4T(x2 ^ x3 ^ x0 ^ rk[i + 1]);
    x2 ^= Sm4T(x3 ^ x0 ^ x1 ^ rk[i + 2]);
    x3 ^= Sm4T(x0 ^ x1 ^ x2 ^ rk[i + 3]);
  }
  StoreBe32(out, x3);
  StoreBe32(out + 4, x2);
  StoreBe32(out + 8, x1);
  StoreBe32(out + 12, x0);
}

// Two independent blocks round by round: each round of one block waits on the previous
// one, so interleaving a second block gives the processor work to overlap. Same result
// as two calls of Sm4Block.
inline void Sm4BlockPair(const uint32_t rk[32], const uint8_t* in, uint8_t* out) {
  uint32_t x0 = LoadBe32(in), x1 = LoadBe32(in + 4), x2 = LoadBe32(in + 8), x3 = LoadBe32(in + 12);
  uint32_t y0 = LoadBe32(in + 16), y1 = LoadBe32(in + 20), y2 = LoadBe32(in + 24),
           y3 = LoadBe32(in + 28);
  for (int i = 0; i < 32; i += 4) {
    x0 ^= Sm4T(x1 ^ x2 ^ x3 ^ rk[i]);
    y0 ^= Sm4T(y1 ^ y2 ^ y3 ^ rk[i]);
    x1 ^= Sm4T(x2 ^ x3 ^ x0 ^ rk[i + 1]);
    y1 ^= Sm4T(y2 ^ y3 ^ y0 ^ rk[i + 1]);
    x2 ^= Sm4T(x3 ^ x0 ^ x1 ^ rk[i + 2]);
    y2 ^= Sm4T(y3 ^ y0 ^ y1 ^ rk[i + 2]);
    x3 ^= Sm4T(x0 ^ x1 ^ x2 ^ rk[i + 3]);
    y3 ^= Sm4T(y0 ^ y1 ^ y2 ^ rk[i + 3]);
  }
  StoreBe32(out, x3);
  StoreBe32(out + 4, x2);
  StoreBe32(out + 8, x1);
  StoreBe32(out + 12, x0);
  StoreBe32(out + 16, y3);
  StoreBe32(out + 20, y2);
  StoreBe32(out + 24, y1);
  StoreBe32(out + 28, y0);
}

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return -2;
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void Sm4RoundKeys(const uint8_t key[16], uint32_t rk[32], bool encrypt) { Sm4KeySchedule(key, rk, encrypt); }

void Sm3Init(Sm3Context* ctx) {
  ctx->totalLow = 0;
  ctx->totalHigh = 0;
  std::memcpy(ctx->state, kSm3Iv, sizeof(kSm3Iv));
  std::memset(ctx->buffer, 0, sizeof(ctx->buffer));
}

void Sm3Update(Sm3Context* ctx, const void* data, size_t len) {
  if (len == 0) return;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  size_t used = ctx->totalLow & 63;
  AddLength(ctx, len);
  if (used > 0) {
    size_t take = 64 - used;
    if (len < take) {
      std::memcpy(ctx->buffer + used, p, len);
      return;
    }
    std::memcpy(ctx->buffer + used, p, take);
    Sm3Compress(ctx->state, ctx->buffer, 1);
    p += take;
    len -= take;
  }
  if (len >= 64) {
    Sm3Compress(ctx->state, p, len / 64);
    p += len & ~static_cast<size_t>(63);
    len &= 63;
  }
  if (len > 0) std::memcpy(ctx->buffer, p, len);
}

void Sm3Final(Sm3Context* ctx, uint8_t digest[32]) {
  uint64_t bits = ((static_cast<uint64_t>(ctx->totalHigh) << 32) | ctx->totalLow) * 8;
  size_t used = ctx->totalLow & 63;
  ctx->buffer[used++] = 0x80;
  if (used > 56) {
    std::memset(ctx->buffer + used, 0, 64 - used);
    Sm3Compress(ctx->state, ctx->buffer, 1);
    used = 0;
  }
  std::memset(ctx->buffer + used, 0, 56 - used);
  StoreBe32(ctx->buffer + 56, static_cast<uint32_t>(bits >> 32));
  StoreBe32(ctx->buffer + 60, static_cast<uint32_t>(bits));
  Sm3Compress(ctx->state, ctx->buffer, 1);
  for (int i = 0; i < 8; ++i) StoreBe32(digest + 4 * i, ctx->state[i]);
}

void Sm3Digest(const void* data, size_t len, uint8_t digest[32]) {
  Sm3Context ctx;
  Sm3Init(&ctx);
  Sm3Update(&ctx, data, len);
  Sm3Final(&ctx, digest);
}

void Sm3DigestBlocks(const void* data, size_t len, uint8_t digest[32]) {
  Sm3Context ctx;
  Sm3Init(&ctx);
  size_t whole = len & ~static_cast<size_t>(63);
  Sm3Compress(ctx.state, static_cast<const uint8_t*>(data), whole / 64);
  AddLength(&ctx, whole);
  Sm3Update(&ctx, static_cast<const uint8_t*>(data) + whole, len - whole);
  Sm3Final(&ctx, digest);
}

std::string Sm3HexDigest(const void* data, size_t len) {
  uint8_t d[32];
  Sm3Digest(data, len, d);
  return HexEncode(d, sizeof(d));
}

int Sm3File(const std::string& path, uint8_t digest[32]) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return kSm3FileCannotOpen;
  Sm3Context ctx;
  Sm3Init(&ctx);
  uint8_t chunk[1024];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof(chunk), f)) > 0) Sm3Update(&ctx, chunk, got);
  int status = std::ferror(f) ? kSm3FileReadError : kSm3FileOk;
  Sm3Final(&ctx, digest);
  std::fclose(f);
  return status;
}

void Sm4EcbCrypt(uint8_t* out, const uint8_t key[16], const uint8_t* in, size_t* len, int mode) {
  if (*len == 0) return;
  const size_t padded = (*len + 15) & ~static_cast<size_t>(15);
  // A zero-filled copy: zero padding, and out may alias in.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[padded]);
  std::memcpy(copy.get(), in, *len);
  std::memset(copy.get() + *len, 0, padded - *len);
  uint32_t rk[32];
  Sm4KeySchedule(key, rk, mode == 1);
  size_t off = 0;
  for (; off + 32 <= padded; off += 32) Sm4BlockPair(rk, copy.get() + off, out + off);
  if (off < padded) Sm4Block(rk, copy.get() + off, out + off);
  *len = padded;
}

std::vector<uint8_t> Sm4EcbCrypt(const std::vector<uint8_t>& in, const uint8_t key[16], int mode) {
  std::vector<uint8_t> out((in.size() + 15) & ~static_cast<size_t>(15));
  size_t len = in.size();
  Sm4EcbCrypt(out.data(), key, in.data(), &len, mode);
  out.resize(len);
  return out;
}

std::string Base64Encode(const void* data, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  std::string out;
  out.reserve((len + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    uint32_t v = (static_cast<uint32_t>(p[i]) << 16) | (static_cast<uint32_t>(p[i + 1]) << 8) | p[i + 2];
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += kBase64Alphabet[v & 63];
  }
  if (len - i == 1) {
    uint32_t v = static_cast<uint32_t>(p[i]) << 16;
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += "==";
  } else if (len - i == 2) {
    uint32_t v = (static_cast<uint32_t>(p[i]) << 16) | (static_cast<uint32_t>(p[i + 1]) << 8);
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string Base64Decode(const std::string& text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  uint32_t group = 0;
  int count = 0;
  int pads = 0;
  for (char c : text) {
    int v = Base64Value(c);
    if (v == -1) continue;  // outside the alphabet: line ends, blanks, anything else
    if (v == -2) {
      ++pads;
      v = 0;
    }
    group = (group << 6) | static_cast<uint32_t>(v);
    if (++count == 4) {
      int produce = 3 - pads;
      if (produce >= 1) out += static_cast<char>((group >> 16) & 0xff);
      if (produce >= 2) out += static_cast<char>((group >> 8) & 0xff);
      if (produce >= 3) out += static_cast<char>(group & 0xff);
      group = 0;
      count = 0;
      pads = 0;
    }
  }
  return out;
}

std::string HexEncode(const void* data, size_t len) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const uint8_t* p = static_cast<const uint8_t*>(data);
  std::string out(len * 2, '0');
  for (size_t i = 0; i < len; ++i) {
    out[2 * i] = kDigits[p[i] >> 4];
    out[2 * i + 1] = kDigits[p[i] & 15];
  }
  return out;
}

bool HexDecode(const std::string& text, uint8_t* out, size_t capacity) {
  const size_t n = text.size() / 2;
  if (n > capacity) return false;
  for (size_t i = 0; i < 2 * n; ++i) {
    if (HexValue(text[i]) < 0) return false;  // not a digit: refuse, out untouched
  }
  for (size_t i = 0; i < n; ++i)
    out[i] = static_cast<uint8_t>(HexValue(text[2 * i]) * 16 + HexValue(text[2 * i + 1]));
  return true;
}

}  // namespace sorvanta
