// What the client puts on the wire: the fingerprint's CRC and layout, the token request
// body, the judgement of a token reply, and the encryption of the CPU result.
#include "service/wire_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/crypto.h"
#include "service/token.h"

namespace sorvanta {
namespace {

TEST(Crc16, CcittFalseCheckValue) {
  const char* check = "123456789";
  EXPECT_EQ(Crc16CcittFalse(reinterpret_cast<const uint8_t*>(check), 9), 0x29B1);
  EXPECT_EQ(Crc16CcittFalse(nullptr, 0), 0xFFFF);
}

TEST(DeviceFingerprint, LayoutOfDigestTimeZerosAndCrc) {
  const std::string brand = "  Example CPU @ 3.60GHz";
  const std::string id = "0123456789abcdef0123456789abcdef";
  const int64_t now = 0x0102030405060708LL;
  DeviceFingerprint fp = BuildDeviceFingerprint(brand, id, now);

  uint8_t digest[32];
  const std::string text = brand + id;
  Sm3Digest(text.data(), text.size(), digest);
  EXPECT_EQ(std::memcmp(fp.data(), digest, 32), 0);
  const uint8_t time[8] = {8, 7, 6, 5, 4, 3, 2, 1};
  EXPECT_EQ(std::memcmp(fp.data() + 32, time, 8), 0);
  for (int i = 40; i < 62; ++i) EXPECT_EQ(fp[i], 0) << i;
  const uint16_t crc = Crc16CcittFalse(fp.data(), 62);
  EXPECT_EQ(fp[62], crc & 0xFF);
  EXPECT_EQ(fp[63], crc >> 8);

  // A negative time is stored as its two's complement.
  DeviceFingerprint neg = BuildDeviceFingerprint(brand, id, -1);
  for (int i = 32; i < 40; ++i) EXPECT_EQ(neg[i], 0xFF);
}

// Undoes the passes the body went through; what a service does to read the fingerprint.
std::string DecryptBody(const std::string& body, int passes) {
  std::string raw = Base64Decode(body);
  uint8_t key[16];
  std::memset(key, passes, 16);
  for (int i = 0; i < passes; ++i) {
    size_t len = 64;
    Sm4EcbCrypt(reinterpret_cast<uint8_t*>(raw.data()), key, reinterpret_cast<const uint8_t*>(raw.data()), &len, 0);
  }
  return raw;
}

TEST(TokenRequestBody, EncryptedCoresPlusOneTimesAndEncodedWithTheZeroByte) {
  DeviceFingerprint fp = BuildDeviceFingerprint("brand", "machine", 1765084509);
  const std::string plain(reinterpret_cast<const char*>(fp.data()), 64);
  for (int cores : {1, 2, 8, 254}) {
    std::string body = BuildTokenRequestBody(fp, cores);
    ASSERT_EQ(body.size(), 88u) << cores;
    EXPECT_EQ(body.back(), '=');
    EXPECT_NE(body[86], '=');
    std::string raw = Base64Decode(body);
    ASSERT_EQ(raw.size(), 65u);
    EXPECT_EQ(raw[64], '\0');
    EXPECT_NE(raw.substr(0, 64), plain) << cores;
    EXPECT_EQ(DecryptBody(body, cores + 1).substr(0, 64), plain) << cores;
  }
  // 255 logical processors make (255 + 1) mod 256 = 0 passes: the block goes as it is.
  EXPECT_EQ(Base64Decode(BuildTokenRequestBody(fp, 255)).substr(0, 64), plain);
}

TEST(TokenReply, JudgedByTheLengthOfTheDecodedCredential) {
  const std::string key16 = "0123456789abcdef";
  auto reply = [](const std::string& credential) {
    return Base64Encode(credential) + "||paper0.bin||paper1.bin";
  };
  EXPECT_EQ(JudgeTokenReply(""), TokenVerdict::kNoReply);
  EXPECT_EQ(JudgeTokenReply(reply(key16 + "\x05")), TokenVerdict::kAccepted);
  EXPECT_EQ(JudgeTokenReply(reply(key16)), TokenVerdict::kRefused);
  EXPECT_EQ(JudgeTokenReply(reply(key16 + "xy")), TokenVerdict::kRefused);
  EXPECT_EQ(JudgeTokenReply("||||"), TokenVerdict::kRefused);
  EXPECT_EQ(JudgeTokenReply("<html>502 Bad Gateway</html>"), TokenVerdict::kRefused);
  // A run of "|" counts as one separator, and the credential alone is enough to accept.
  EXPECT_TRUE(IsValidExamCredential(Base64Encode(key16 + "\x01") + "|||||x"));
  EXPECT_TRUE(IsValidExamCredential(Base64Encode(key16 + "\x01")));
}

TEST(EncryptSubmission, RoundsZeroOrLessSendThePaddedPlaintextAndTheBufferLimitHolds) {
  const std::string kKey = "0123456789abcdef";
  const uint8_t* key = reinterpret_cast<const uint8_t*>(kKey.data());
  std::string cipher;
  for (int rounds : {0, -1, -128}) {
    ASSERT_TRUE(EncryptSubmission("hello", key, rounds, &cipher));
    EXPECT_EQ(cipher, std::string("hello") + std::string(11, '\0')) << rounds;
  }
  ASSERT_TRUE(EncryptSubmission("hello", key, 2, &cipher));
  std::vector<uint8_t> once = Sm4EcbCrypt(std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}, key, 1);
  std::vector<uint8_t> twice = Sm4EcbCrypt(once, key, 1);
  EXPECT_EQ(cipher, std::string(twice.begin(), twice.end()));

  EXPECT_TRUE(EncryptSubmission(std::string(kSubmissionBufferSize, 'a'), key, 1, &cipher));
  EXPECT_EQ(cipher.size(), kSubmissionBufferSize);
  EXPECT_TRUE(EncryptSubmission(std::string(kSubmissionBufferSize - 15, 'a'), key, 1, &cipher));
  EXPECT_FALSE(EncryptSubmission(std::string(kSubmissionBufferSize + 1, 'a'), key, 1, &cipher));
  EXPECT_TRUE(cipher.empty());
}

}  // namespace
}  // namespace sorvanta
