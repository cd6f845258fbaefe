#include "base/crypto.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace sorvanta {
namespace {

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out(hex.size() / 2);
  EXPECT_TRUE(HexDecode(hex, out.data(), out.size()));
  return out;
}

// OpenSSL's EVP implementations serve as an independent oracle for every length.
std::string OpensslSm3Hex(const uint8_t* data, size_t len) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sm3(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), data, len) != 1 || EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1) {
    ADD_FAILURE() << "OpenSSL has no SM3";
    return {};
  }
  return HexEncode(digest, size);
}

// SM4-ECB of the input zero-padded to a multiple of 16 bytes.
std::vector<uint8_t> OpensslSm4Ecb(const uint8_t key[16], std::vector<uint8_t> in, bool encrypt) {
  in.resize((in.size() + 15) / 16 * 16, 0);
  std::vector<uint8_t> out(in.size() + 16);
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                       EVP_CIPHER_CTX_free);
  int n = 0, tail = 0;
  if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_sm4_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) != 1) {
    ADD_FAILURE() << "OpenSSL has no SM4-ECB";
    return {};
  }
  out.resize(static_cast<size_t>(n + tail));
  return out;
}

// Every length 0..300 covers each padding case of SM3 (55/56 bytes and their multiples of 64)
// and every SM4 tail; random longer lengths cover many blocks and buffered updates.
std::vector<size_t> OracleLengths() {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  std::mt19937 rng(20261208);
  for (int i = 0; i < 40; ++i) lengths.push_back(301 + rng() % 70000);
  return lengths;
}

std::vector<uint8_t> RandomBytes(size_t len, std::mt19937& rng) {
  std::vector<uint8_t> data(len);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  return data;
}

TEST(CryptoOracle, Sm3MatchesOpensslAtEveryLength) {
  std::mt19937 rng(1);
  for (size_t len : OracleLengths()) {
    std::vector<uint8_t> data = RandomBytes(len, rng);
    const std::string expected = OpensslSm3Hex(data.data(), len);
    EXPECT_EQ(Sm3HexDigest(data.data(), len), expected) << len << " bytes";
    // The same message fed in two uneven pieces goes through the buffered path.
    Sm3Context ctx;
    Sm3Init(&ctx);
    Sm3Update(&ctx, data.data(), len / 3);
    Sm3Update(&ctx, data.data() + len / 3, len - len / 3);
    uint8_t digest[32];
    Sm3Final(&ctx, digest);
    EXPECT_EQ(HexEncode(digest, 32), expected) << len << " bytes in two pieces";
    if (len % 64 == 0) {
      Sm3DigestBlocks(data.data(), len, digest);
      EXPECT_EQ(HexEncode(digest, 32), expected) << len << " bytes through the block path";
    }
  }
  // The exam worker's 1 MiB buffer through the block path.
  std::vector<uint8_t> mib = RandomBytes(1 << 20, rng);
  uint8_t digest[32];
  Sm3DigestBlocks(mib.data(), mib.size(), digest);
  EXPECT_EQ(HexEncode(digest, 32), OpensslSm3Hex(mib.data(), mib.size()));
}

TEST(CryptoOracle, Sm4EcbMatchesOpensslAtEveryLength) {
  std::mt19937 rng(2);
  for (size_t len : OracleLengths()) {
    const std::vector<uint8_t> key = RandomBytes(16, rng);
    const std::vector<uint8_t> plain = RandomBytes(len, rng);
    const std::vector<uint8_t> cipher = Sm4EcbCrypt(plain, key.data(), 1);
    ASSERT_EQ(cipher, OpensslSm4Ecb(key.data(), plain, true)) << len << " bytes";
    std::vector<uint8_t> padded = plain;
    padded.resize(cipher.size(), 0);
    EXPECT_EQ(Sm4EcbCrypt(cipher, key.data(), 0), padded) << len << " bytes";
    // Decrypting arbitrary bytes must agree too, not only undo our own encryption.
    EXPECT_EQ(Sm4EcbCrypt(plain, key.data(), 0), OpensslSm4Ecb(key.data(), plain, false)) << len << " bytes";
  }
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

  // A folder opens but every read fails: that is a read error, never the digest of nothing.
  sorvanta::testing::TempDir folder("sm3dir");
  ASSERT_TRUE(folder.ok());
  EXPECT_EQ(Sm3File(folder.path(), digest), kSm3FileReadError);
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
