#include "server/exam_protocol.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/crypto.h"

namespace sorvanta::server {

uint16_t Crc16CcittFalse(const void* data, size_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < len; ++i) {
    crc ^= static_cast<uint16_t>(p[i]) << 8;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

std::string MakeFingerprint(const std::string& identity, int64_t unixTime) {
  uint8_t fp[kFingerprintBytes] = {};
  Sm3Digest(identity.data(), identity.size(), fp);
  uint64_t t = static_cast<uint64_t>(unixTime);
  for (int i = 0; i < 8; ++i) fp[32 + i] = static_cast<uint8_t>(t >> (8 * i));
  uint16_t crc = Crc16CcittFalse(fp, 62);
  fp[62] = static_cast<uint8_t>(crc & 0xFF);
  fp[63] = static_cast<uint8_t>(crc >> 8);
  return std::string(reinterpret_cast<char*>(fp), sizeof fp);
}

std::string MakeTokenRequestBody(const std::string& fingerprint, int cpuCount) {
  uint8_t buffer[kFingerprintBytes + 1] = {};
  std::memcpy(buffer, fingerprint.data(), std::min(fingerprint.size(), kFingerprintBytes));
  uint8_t n = static_cast<uint8_t>((cpuCount + 1) % 256);
  uint8_t key[16];
  std::memset(key, n, sizeof key);
  for (int pass = 0; pass < n; ++pass) {
    size_t len = kFingerprintBytes;
    Sm4EcbCrypt(buffer, key, buffer, &len, 1);
  }
  return Base64Encode(buffer, sizeof buffer);
}

namespace {

// The pass-count search below runs SM4 on single blocks under each of the 256 keys
// "n repeated 16 times", so it runs its own table-driven rounds (S-box and linear transform
// of each byte position in one table) on those key schedules computed once, and decrypts
// several candidates side by side.

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t LoadBe32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

struct PassSearchTables {
  uint32_t t[4][256];      // S-box and linear transform of one byte in each position
  uint32_t rk[256][32];    // decryption round keys of the key "n repeated"
  PassSearchTables() {
    for (int b = 0; b < 256; ++b) {
      for (int pos = 0; pos < 4; ++pos) {
        uint32_t x = static_cast<uint32_t>(kSm4Sbox[b]) << (24 - 8 * pos);
        t[pos][b] = x ^ Rotl(x, 2) ^ Rotl(x, 10) ^ Rotl(x, 18) ^ Rotl(x, 24);
      }
    }
    for (int n = 0; n < 256; ++n) {
      uint8_t key[16];
      std::memset(key, n, sizeof key);
      Sm4RoundKeys(key, rk[n], false);
    }
  }
  uint32_t T(uint32_t a) const {
    return t[0][a >> 24] ^ t[1][(a >> 16) & 0xff] ^ t[2][(a >> 8) & 0xff] ^ t[3][a & 0xff];
  }
};

const PassSearchTables& Tables() {
  static const PassSearchTables tables;
  return tables;
}

// One lane of the search: candidate n, its block after `done` of n passes.
struct Lane {
  int n = -1;
  int done = 0;
  uint32_t x[4] = {};
};

constexpr int kLanes = 8;

}  // namespace

bool DecodeTokenRequestBody(const std::string& body, DecodedFingerprint* out) {
  // Everything that needs no decryption is checked first.
  if (body.size() != 88) return false;
  std::string bytes;
  if (!DecodeBase64Strict(body, &bytes) || bytes.size() != kFingerprintBytes + 1) return false;
  if (bytes[kFingerprintBytes] != 0) return false;
  const auto* raw = reinterpret_cast<const uint8_t*>(bytes.data());
  const PassSearchTables& tb = Tables();

  // Only the last 16 bytes are decrypted per candidate: in a fingerprint 14 of them are
  // zero, which leaves one wrong candidate in 2^112 to the full check. Lanes take the
  // candidates n = lane, lane + 8, ... and run their independent SM4 rounds interleaved,
  // which keeps the processor busy where one chain of rounds would wait on each table load.
  const uint32_t c[4] = {LoadBe32(raw + 48), LoadBe32(raw + 52), LoadBe32(raw + 56), LoadBe32(raw + 60)};
  Lane lanes[kLanes];
  int next[kLanes];
  for (int l = 0; l < kLanes; ++l) next[l] = l;
  std::vector<int> hits;
  auto load = [&](int l) {
    Lane& lane = lanes[l];
    lane.n = -1;
    if (next[l] < 256) {
      lane.n = next[l];
      next[l] += kLanes;
      lane.done = 0;
      std::copy(c, c + 4, lane.x);
    }
  };
  auto settle = [&](int l) {
    // Finished candidates are checked and replaced; candidate 0 (no pass) at once.
    while (lanes[l].n >= 0 && lanes[l].done == lanes[l].n) {
      const Lane& lane = lanes[l];
      if (lane.x[0] == 0 && lane.x[1] == 0 && lane.x[2] == 0 && (lane.x[3] >> 16) == 0) hits.push_back(lane.n);
      load(l);
    }
  };
  for (int l = 0; l < kLanes; ++l) {
    load(l);
    settle(l);
  }
  for (;;) {
    bool any = false;
    for (int r = 0; r < 32; r += 4) {
      for (int l = 0; l < kLanes; ++l) {
        Lane& ln = lanes[l];
        if (ln.n < 0) continue;
        const uint32_t* rk = tb.rk[ln.n];
        ln.x[0] ^= tb.T(ln.x[1] ^ ln.x[2] ^ ln.x[3] ^ rk[r]);
        ln.x[1] ^= tb.T(ln.x[2] ^ ln.x[3] ^ ln.x[0] ^ rk[r + 1]);
        ln.x[2] ^= tb.T(ln.x[3] ^ ln.x[0] ^ ln.x[1] ^ rk[r + 2]);
        ln.x[3] ^= tb.T(ln.x[0] ^ ln.x[1] ^ ln.x[2] ^ rk[r + 3]);
      }
    }
    for (int l = 0; l < kLanes; ++l) {
      Lane& ln = lanes[l];
      if (ln.n < 0) continue;
      // The output of a pass is the words in reverse order; it is the next pass's input.
      std::swap(ln.x[0], ln.x[3]);
      std::swap(ln.x[1], ln.x[2]);
      ++ln.done;
      settle(l);
      any = any || ln.n >= 0;
    }
    if (!any) break;
  }

  std::sort(hits.begin(), hits.end());
  for (int n : hits) {
    uint8_t block[kFingerprintBytes];
    std::memcpy(block, raw, sizeof block);
    for (int pass = 0; pass < n; ++pass) {
      for (size_t off = 0; off < sizeof block; off += 16) {
        uint32_t x[4] = {LoadBe32(block + off), LoadBe32(block + off + 4), LoadBe32(block + off + 8),
                         LoadBe32(block + off + 12)};
        for (int r = 0; r < 32; r += 4) {
          x[0] ^= tb.T(x[1] ^ x[2] ^ x[3] ^ tb.rk[n][r]);
          x[1] ^= tb.T(x[2] ^ x[3] ^ x[0] ^ tb.rk[n][r + 1]);
          x[2] ^= tb.T(x[3] ^ x[0] ^ x[1] ^ tb.rk[n][r + 2]);
          x[3] ^= tb.T(x[0] ^ x[1] ^ x[2] ^ tb.rk[n][r + 3]);
        }
        StoreBe32(block + off, x[3]);
        StoreBe32(block + off + 4, x[2]);
        StoreBe32(block + off + 8, x[1]);
        StoreBe32(block + off + 12, x[0]);
      }
    }
    // Bytes 40..61 are zero in every fingerprint: together with the CRC this rules out
    // a chance match at a wrong pass count.
    bool zeros = true;
    for (size_t i = 40; i < 62 && zeros; ++i) zeros = block[i] == 0;
    if (!zeros) continue;
    uint16_t crc = static_cast<uint16_t>(block[62] | (block[63] << 8));
    if (crc != Crc16CcittFalse(block, 62)) continue;
    uint64_t t = 0;
    for (int i = 0; i < 8; ++i) t |= static_cast<uint64_t>(block[32 + i]) << (8 * i);
    out->passes = n;
    out->cpuCount = (n + 255) % 256;
    out->unixTime = static_cast<int64_t>(t);
    out->machine = HexEncode(block, 32);
    return true;
  }
  return false;
}

namespace {
// Counter blocks first .. first + count - 1 (16 bytes each, little-endian index).
std::string CounterBlocks(size_t first, size_t count) {
  std::string counters(count * 16, '\0');
  for (size_t i = 0; i < count; ++i) {
    uint64_t c = first + i;
    for (int b = 0; b < 8; ++b) counters[i * 16 + b] = static_cast<char>(c >> (8 * b));
  }
  return counters;
}
}  // namespace

std::string PaperBytes(const std::string& seed, size_t bytes) {
  if (seed.size() != 16 || bytes == 0) return std::string();
  size_t blocks = (bytes + 15) / 16;
  std::string data = CounterBlocks(0, blocks);
  size_t len = data.size();
  Sm4EcbCrypt(reinterpret_cast<uint8_t*>(data.data()), reinterpret_cast<const uint8_t*>(seed.data()),
              reinterpret_cast<const uint8_t*>(data.data()), &len, 1);
  data.resize(bytes);
  return data;
}

std::string PaperBlock(const std::string& seed, size_t k) {
  if (seed.size() != 16) return std::string();
  std::string data = CounterBlocks(k * 2, 2);
  size_t len = data.size();
  Sm4EcbCrypt(reinterpret_cast<uint8_t*>(data.data()), reinterpret_cast<const uint8_t*>(seed.data()),
              reinterpret_cast<const uint8_t*>(data.data()), &len, 1);
  return data;
}

std::string BlockAnswer(const std::string& block32) {
  thread_local std::vector<uint8_t> buffer(kWorkBufferBytes);
  std::memset(buffer.data(), 0, kBlockBytes);
  std::memcpy(buffer.data(), block32.data(), std::min(block32.size(), kBlockBytes));
  uint8_t digest[32];
  Sm3DigestBlocks(buffer.data(), buffer.size(), digest);
  return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

std::string Sm4Passes(const std::string& data, const std::string& key16, int rounds, int mode) {
  std::string buffer = data;
  if (rounds <= 0 || key16.size() != 16) return buffer;
  buffer.resize((buffer.size() + 15) / 16 * 16, '\0');
  for (int r = 0; r < rounds; ++r) {
    size_t len = buffer.size();
    Sm4EcbCrypt(reinterpret_cast<uint8_t*>(buffer.data()), reinterpret_cast<const uint8_t*>(key16.data()),
                reinterpret_cast<const uint8_t*>(buffer.data()), &len, mode);
  }
  return buffer;
}

bool DecodeBase64Strict(const std::string& text, std::string* out) {
  if (text.size() % 4 != 0) return false;
  std::string bytes = Base64Decode(text);
  if (Base64Encode(bytes) != text) return false;
  *out = std::move(bytes);
  return true;
}

bool SplitJsonAndTag(const std::string& plain, std::string* json, std::string* tag) {
  size_t pos = plain.rfind("||");
  // Only a few candidates: the tag is short and rarely holds "||" itself.
  for (int tries = 0; pos != std::string::npos && tries < 8; ++tries) {
    size_t end = pos;
    while (end > 0 && (plain[end - 1] == ' ' || plain[end - 1] == '\n' || plain[end - 1] == '\r' ||
                       plain[end - 1] == '\t')) {
      --end;
    }
    if (end > 0 && plain[end - 1] == '}') {
      *json = plain.substr(0, pos);
      *tag = plain.substr(pos + 2);
      return true;
    }
    if (pos == 0) break;
    pos = plain.rfind("||", pos - 1);
  }
  return false;
}

}  // namespace sorvanta::server
