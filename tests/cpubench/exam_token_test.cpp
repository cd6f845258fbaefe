#include "cpubench/exam_token.h"

#include <gtest/gtest.h>

#include <cstring>

#include "cpubench/cpu_machine.h"
#include "service/crypto.h"

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

TEST(DeviceObject, CarriesTheMachineFieldsAndTheWholeReply) {
  CpuMachine m;
  m.cpuName = "Example CPU";
  m.osVersion = "12";
  m.boardName = "B450M";
  m.boardVendor = "Maker Inc.";
  m.architecture = "x86_64";
  Json::Value d = BuildDeviceObject(m, "abc||p1||p2");
  EXPECT_EQ(d.size(), 10u);
  EXPECT_EQ(d["socname"].asString(), "Example CPU");
  EXPECT_EQ(d["RELEASE"].asString(), "12");
  EXPECT_EQ(d["HARDWARE"].asString(), " ");
  EXPECT_EQ(d["MODEL"].asString(), "B450M");
  EXPECT_EQ(d["MANUFACTURER"].asString(), " ");
  EXPECT_EQ(d["BRAND"].asString(), "Maker Inc.");
  EXPECT_EQ(d["PRODUCT"].asString(), " ");
  EXPECT_EQ(d["CPU_ABI"].asString(), "x86_64");
  EXPECT_EQ(d["CPU_ABI2"].asString(), " ");
  EXPECT_EQ(d["token"].asString(), "abc||p1||p2");
}

TEST(MachineLines, FormatsOfTheFourInformationLines) {
  CpuMachine m;
  m.cpuName = "Example CPU";
  m.clockMhz = 3600;
  m.logicalCores = 8;
  m.boardVendor = "Maker";
  m.boardName = "Board";
  m.memoryTotalBytes = (16ULL << 30) + (512ULL << 20) + 12345;  // 16 GiB + 512 MiB + a bit
  m.memoryAvailableBytes = (3ULL << 30) + (256ULL << 20);
  m.osName = "Debian GNU/Linux";
  m.osVersion = "12";
  m.architecture = "x86_64";
  EXPECT_EQ(CpuInfoLine(m), "Example CPU 速度:3.60GHz 逻辑核数:8");
  EXPECT_EQ(BoardInfoLine(m), "Maker Board");
  EXPECT_EQ(MemoryInfoLine(m), "总量 16.50 GB (3.25 GB 剩余)");
  EXPECT_EQ(OsInfoLine(m), "内核版本：Debian GNU/Linux(12) x86_64");
  m.osVersion.clear();
  EXPECT_EQ(OsInfoLine(m), "内核版本：Debian GNU/Linux x86_64");
  CpuMachine empty;
  EXPECT_EQ(CpuInfoLine(empty), " 速度:0.00GHz 逻辑核数:0");
  EXPECT_EQ(MemoryInfoLine(empty), "总量 0.00 GB (0.00 GB 剩余)");
}

}  // namespace
}  // namespace sorvanta
