#include "server/exam_protocol.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/crypto.h"

namespace sorvanta::server {
namespace {

TEST(ExamProtocol, CrcMatchesTheCcittFalseCheckValue) {
  EXPECT_EQ(Crc16CcittFalse("123456789", 9), 0x29B1);
  EXPECT_EQ(Crc16CcittFalse("", 0), 0xFFFF);
}

TEST(ExamProtocol, FingerprintLayout) {
  std::string fp = MakeFingerprint("Some CPU" "a1b2c3", 0x0102030405060708LL);
  ASSERT_EQ(fp.size(), 64u);
  uint8_t digest[32];
  Sm3Digest("Some CPUa1b2c3", 14, digest);
  EXPECT_EQ(0, std::memcmp(fp.data(), digest, 32));
  EXPECT_EQ(fp[32], 0x08);
  EXPECT_EQ(fp[39], 0x01);
  for (int i = 40; i < 62; ++i) EXPECT_EQ(fp[i], 0) << i;
  uint16_t crc = Crc16CcittFalse(fp.data(), 62);
  EXPECT_EQ(static_cast<uint8_t>(fp[62]), crc & 0xFF);
  EXPECT_EQ(static_cast<uint8_t>(fp[63]), crc >> 8);
}

TEST(ExamProtocol, PassCountIsRecoveredForEveryProcessorCount) {
  const int64_t t = 1765000000;
  for (int cpus = 0; cpus < 256; ++cpus) {
    std::string body = MakeTokenRequestBody(MakeFingerprint("identity", t), cpus);
    ASSERT_EQ(body.size(), 88u);
    EXPECT_EQ(body.back(), '=');
    DecodedFingerprint fp;
    ASSERT_TRUE(DecodeTokenRequestBody(body, &fp)) << cpus;
    EXPECT_EQ(fp.cpuCount, cpus);
    EXPECT_EQ(fp.passes, (cpus + 1) % 256);
    EXPECT_EQ(fp.unixTime, t);
    EXPECT_EQ(fp.machine, Sm3HexDigest("identity", 8));
  }
}

TEST(ExamProtocol, MalformedTokenBodiesAreRefused) {
  std::string good = MakeTokenRequestBody(MakeFingerprint("identity", 1765000000), 3);
  DecodedFingerprint fp;
  EXPECT_FALSE(DecodeTokenRequestBody("", &fp));
  EXPECT_FALSE(DecodeTokenRequestBody(good.substr(0, 84), &fp));
  EXPECT_FALSE(DecodeTokenRequestBody(std::string(88, '!'), &fp));
  // Last byte not zero.
  std::string raw = Base64Decode(good);
  raw[64] = 1;
  EXPECT_FALSE(DecodeTokenRequestBody(Base64Encode(raw), &fp));
  // One flipped bit in the encrypted block: no pass count gives a valid fingerprint.
  raw = Base64Decode(good);
  raw[5] ^= 0x10;
  EXPECT_FALSE(DecodeTokenRequestBody(Base64Encode(raw), &fp));
  // Random bytes.
  std::string noise(65, '\0');
  for (int i = 0; i < 64; ++i) noise[i] = static_cast<char>(i * 37 + 11);
  EXPECT_FALSE(DecodeTokenRequestBody(Base64Encode(noise), &fp));
}

TEST(ExamProtocol, PaperBlocksAndAnswers) {
  std::string seed = "0123456789abcdef";
  std::string paper = PaperBytes(seed, 4096);
  ASSERT_EQ(paper.size(), 4096u);
  EXPECT_NE(paper, PaperBytes("fedcba9876543210", 4096));
  for (size_t k : {0u, 1u, 77u, 127u}) EXPECT_EQ(PaperBlock(seed, k), paper.substr(k * 32, 32)) << k;

  std::vector<uint8_t> buffer(kWorkBufferBytes, 0);
  std::memcpy(buffer.data(), paper.data() + 64, 32);
  uint8_t digest[32];
  Sm3Digest(buffer.data(), buffer.size(), digest);
  EXPECT_EQ(BlockAnswer(paper.substr(64, 32)), std::string(reinterpret_cast<char*>(digest), 32));
}

TEST(ExamProtocol, RepeatedSm4PassesRoundTrip) {
  std::string key = "kkkkkkkkkkkkkkkk";
  std::string plain = "{\"a\":1}||tag";
  std::string cipher = Sm4Passes(plain, key, 3, 1);
  EXPECT_EQ(cipher.size(), 16u);
  EXPECT_NE(cipher, Sm4Passes(plain, key, 2, 1));
  std::string back = Sm4Passes(cipher, key, 3, 0);
  EXPECT_EQ(back.substr(0, plain.size()), plain);
  EXPECT_EQ(Sm4Passes(plain, key, 0, 1), plain);
  EXPECT_EQ(Sm4Passes(plain, key, -3, 1), plain);
}

TEST(ExamProtocol, StrictBase64) {
  std::string out;
  EXPECT_TRUE(DecodeBase64Strict("YWJj", &out));
  EXPECT_EQ(out, "abc");
  EXPECT_TRUE(DecodeBase64Strict("", &out));
  EXPECT_FALSE(DecodeBase64Strict("YWJ", &out));     // missing padding
  EXPECT_FALSE(DecodeBase64Strict("YW=j", &out));    // padding inside
  EXPECT_FALSE(DecodeBase64Strict("YWJ\nj", &out));  // line break
  EXPECT_FALSE(DecodeBase64Strict("YWJk====", &out));
  EXPECT_FALSE(DecodeBase64Strict("YWK=", &out));    // non-zero bits in the padding
}

TEST(ExamProtocol, JsonIsSplitFromTheClientTag) {
  std::string json, tag;
  ASSERT_TRUE(SplitJsonAndTag("{\n \"a\" : \"x||y\"\n}\n||", &json, &tag));
  EXPECT_EQ(json, "{\n \"a\" : \"x||y\"\n}\n");
  EXPECT_EQ(tag, "");
  ASSERT_TRUE(SplitJsonAndTag("{\"a\":1}||v1.0||linux", &json, &tag));
  EXPECT_EQ(json, "{\"a\":1}");
  EXPECT_EQ(tag, "v1.0||linux");
  EXPECT_FALSE(SplitJsonAndTag("{\"a\":1}", &json, &tag));
  EXPECT_FALSE(SplitJsonAndTag("plain text||x", &json, &tag));
}

}  // namespace
}  // namespace sorvanta::server
