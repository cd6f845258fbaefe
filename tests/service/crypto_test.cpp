#include "service/crypto.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace sorvanta {
namespace {

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out(hex.size() / 2);
  EXPECT_TRUE(HexDecode(hex, out.data(), out.size()));
  return out;
}

// Examples of GB/T 32905-2016 (SM3).
TEST(Sm3, StandardExamplesAndEmptyMessage) {
  EXPECT_EQ(Sm3HexDigest("abc", 3), "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
  std::string sixtyFour;
  for (int i = 0; i < 16; ++i) sixtyFour += "abcd";
  EXPECT_EQ(Sm3HexDigest(sixtyFour.data(), sixtyFour.size()),
            "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732");
  EXPECT_EQ(Sm3HexDigest("", 0), "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b");
}

TEST(Sm3, PiecewiseUpdateAndBlockPathEqualOneShot) {
  std::vector<uint8_t> data(1 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
  uint8_t oneShot[32], pieces[32], blocks[32];
  Sm3Digest(data.data(), data.size(), oneShot);

  Sm3Context ctx;
  Sm3Init(&ctx);
  size_t pos = 0, step = 1;
  while (pos < data.size()) {  // uneven pieces cross the 64-byte buffer in every way
    size_t n = std::min(step, data.size() - pos);
    Sm3Update(&ctx, data.data() + pos, n);
    pos += n;
    step = step * 3 % 1021 + 1;
  }
  Sm3Final(&ctx, pieces);
  Sm3DigestBlocks(data.data(), data.size(), blocks);
  EXPECT_EQ(HexEncode(pieces, 32), HexEncode(oneShot, 32));
  EXPECT_EQ(HexEncode(blocks, 32), HexEncode(oneShot, 32));

  // Lengths around the padding boundary (55, 56, 63, 64 bytes) through both paths.
  for (size_t len : {55u, 56u, 63u, 64u, 65u, 119u, 120u}) {
    uint8_t a[32], b[32];
    Sm3Digest(data.data(), len, a);
    Sm3DigestBlocks(data.data(), len, b);
    EXPECT_EQ(HexEncode(a, 32), HexEncode(b, 32)) << len;
  }
}

TEST(Sm3, FileStatuses) {
  uint8_t digest[32] = {7};
  EXPECT_EQ(Sm3File("/nonexistent/dir/file.bin", digest), kSm3FileCannotOpen);
  EXPECT_EQ(digest[0], 7);  // untouched

  std::string path = ::testing::TempDir() + "sm3file.bin";
  std::string content(5000, 'x');
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
  EXPECT_EQ(Sm3File(path, digest), kSm3FileOk);
  EXPECT_EQ(HexEncode(digest, 32), Sm3HexDigest(content.data(), content.size()));
  std::remove(path.c_str());
}

// Example 1 of GB/T 32907-2016 (SM4).
TEST(Sm4, StandardExampleBothWays) {
  auto key = FromHex("0123456789abcdeffedcba9876543210");
  auto plain = FromHex("0123456789abcdeffedcba9876543210");
  auto cipher = Sm4EcbCrypt(plain, key.data(), 1);
  EXPECT_EQ(HexEncode(cipher.data(), cipher.size()), "681edf34d206965e86b3e94f536e4246");
  auto back = Sm4EcbCrypt(cipher, key.data(), 0);
  EXPECT_EQ(back, plain);
  // Any mode other than 1 decrypts.
  EXPECT_EQ(Sm4EcbCrypt(cipher, key.data(), 7), plain);
}

// Example 2 of the standard: the same block encrypted 1,000,000 times.
TEST(Sm4, StandardMillionRounds) {
  auto key = FromHex("0123456789abcdeffedcba9876543210");
  auto block = FromHex("0123456789abcdeffedcba9876543210");
  for (int i = 0; i < 1000000; ++i) {
    size_t len = 16;
    Sm4EcbCrypt(block.data(), key.data(), block.data(), &len, 1);
  }
  EXPECT_EQ(HexEncode(block.data(), 16), "595298c7c6fd271f0402f804c33d3f66");
}

TEST(Sm4, ZeroPaddingInPlaceAndEmpty) {
  auto key = FromHex("00112233445566778899aabbccddeeff");
  std::vector<uint8_t> buf(32, 0xEE);
  for (int i = 0; i < 20; ++i) buf[i] = static_cast<uint8_t>('a' + i);
  size_t len = 20;
  Sm4EcbCrypt(buf.data(), key.data(), buf.data(), &len, 1);
  EXPECT_EQ(len, 32u);
  Sm4EcbCrypt(buf.data(), key.data(), buf.data(), &len, 0);
  EXPECT_EQ(len, 32u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(buf[i], 'a' + i);
  for (int i = 20; i < 32; ++i) EXPECT_EQ(buf[i], 0) << i;

  uint8_t untouched[16] = {1, 2, 3};
  size_t zero = 0;
  Sm4EcbCrypt(untouched, key.data(), untouched, &zero, 1);
  EXPECT_EQ(zero, 0u);
  EXPECT_EQ(untouched[0], 1);
}

// ECB: every 16-byte block is transformed on its own, whatever its position, so a long
// buffer (blocks processed in pairs plus an odd last one) equals block-by-block results.
TEST(Sm4, LongBuffersMatchBlockByBlock) {
  auto key = FromHex("0123456789abcdeffedcba9876543210");
  for (size_t blocks : {1u, 2u, 3u, 7u, 64u}) {
    std::vector<uint8_t> plain(blocks * 16);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 37 + blocks);
    std::vector<uint8_t> whole(plain.size());
    size_t len = plain.size();
    Sm4EcbCrypt(whole.data(), key.data(), plain.data(), &len, 1);
    ASSERT_EQ(len, plain.size());
    for (size_t b = 0; b < blocks; ++b) {
      uint8_t one[16];
      size_t oneLen = 16;
      Sm4EcbCrypt(one, key.data(), plain.data() + 16 * b, &oneLen, 1);
      EXPECT_EQ(0, std::memcmp(one, whole.data() + 16 * b, 16)) << blocks << " blocks, #" << b;
    }
    Sm4EcbCrypt(whole.data(), key.data(), whole.data(), &len, 0);
    EXPECT_EQ(whole, plain) << blocks << " blocks";
  }
}

TEST(Base64, EncodeAndLenientDecode) {
  EXPECT_EQ(Base64Encode("abc"), "YWJj");
  EXPECT_EQ(Base64Encode("ab"), "YWI=");
  EXPECT_EQ(Base64Encode("a"), "YQ==");
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Decode("YWI="), "ab");
  EXPECT_EQ(Base64Decode("YQ=="), "a");
  EXPECT_EQ(Base64Decode("YW"), "");
  EXPECT_EQ(Base64Decode("Y W\r\nJ j"), "abc");
  EXPECT_EQ(Base64Decode("YWJjYW"), "abc");  // a short final group is dropped
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(Base64Decode(Base64Encode(all)), all);
}

TEST(Hex, EncodeDecodeAndCapacity) {
  const uint8_t bytes[] = {0x00, 0xab, 0x7f, 0xff};
  EXPECT_EQ(HexEncode(bytes, 4), "00ab7fff");

  uint8_t key[16] = {};
  EXPECT_FALSE(HexDecode(std::string(34, 'a'), key, 16));
  for (uint8_t b : key) EXPECT_EQ(b, 0);  // refused, untouched

  EXPECT_TRUE(HexDecode("00112233445566778899AABBCCDDEEFF", key, 16));
  EXPECT_EQ(key[15], 0xff);
  uint8_t partial[16] = {};
  EXPECT_TRUE(HexDecode("0102030405060708", partial, 16));  // 8 bytes then zeros
  EXPECT_EQ(partial[7], 8);
  EXPECT_EQ(partial[8], 0);
  uint8_t odd[2] = {};
  EXPECT_TRUE(HexDecode("abc", odd, 2));  // the odd last digit is ignored
  EXPECT_EQ(odd[0], 0xab);
  EXPECT_EQ(odd[1], 0);
}

}  // namespace
}  // namespace sorvanta
