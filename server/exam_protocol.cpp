#include "server/exam_protocol.h"

#include <cstring>
#include <vector>

#include "service/crypto.h"

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

bool DecodeTokenRequestBody(const std::string& body, DecodedFingerprint* out) {
  if (body.size() != 88) return false;
  std::string bytes;
  if (!DecodeBase64Strict(body, &bytes) || bytes.size() != kFingerprintBytes + 1) return false;
  if (bytes[kFingerprintBytes] != 0) return false;
  for (int n = 0; n < 256; ++n) {
    uint8_t block[kFingerprintBytes];
    std::memcpy(block, bytes.data(), sizeof block);
    uint8_t key[16];
    std::memset(key, n, sizeof key);
    for (int pass = 0; pass < n; ++pass) {
      size_t len = sizeof block;
      Sm4EcbCrypt(block, key, block, &len, 0);
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
