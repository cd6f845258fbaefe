// Throughput of the CPU benchmark's workload: SM3 and SM4-ECB over 1 MiB buffers, and
// the cost of one exam block (zero-fill, SM3, SM4 round trip, SM3).
//
// Run with repetitions and read the median of CPU time, e.g.
//   build/bin/bench_crypto --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
// The figure to compare with `openssl speed -evp sm3` / `-evp sm4-ecb` is bytes_per_second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "base/crypto.h"

namespace {

using namespace sorvanta;

constexpr size_t kBufferSize = 1 << 20;

std::vector<uint8_t> PatternBuffer() {
  std::vector<uint8_t> buffer(kBufferSize);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 131 + 7);
  return buffer;
}

constexpr uint8_t kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                              0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

// SM3 of a 1 MiB buffer through init/update/final.
void BM_Sm3Digest1MiB(benchmark::State& state) {
  const auto buffer = PatternBuffer();
  uint8_t digest[32];
  for (auto _ : state) {
    Sm3Digest(buffer.data(), buffer.size(), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_Sm3Digest1MiB)->Unit(benchmark::kMillisecond);

// SM3 of a 1 MiB buffer by compressing its blocks directly, as the exam worker does.
void BM_Sm3DigestBlocks1MiB(benchmark::State& state) {
  const auto buffer = PatternBuffer();
  uint8_t digest[32];
  for (auto _ : state) {
    Sm3DigestBlocks(buffer.data(), buffer.size(), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_Sm3DigestBlocks1MiB)->Unit(benchmark::kMillisecond);

// SM4-ECB encryption of 1 MiB into another buffer (key schedule and copy included).
void BM_Sm4EcbEncrypt1MiB(benchmark::State& state) {
  const auto in = PatternBuffer();
  std::vector<uint8_t> out(kBufferSize);
  for (auto _ : state) {
    size_t len = in.size();
    Sm4EcbCrypt(out.data(), kKey, in.data(), &len, 1);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_Sm4EcbEncrypt1MiB)->Unit(benchmark::kMillisecond);

// SM4-ECB decryption of 1 MiB in place.
void BM_Sm4EcbDecryptInPlace1MiB(benchmark::State& state) {
  auto buffer = PatternBuffer();
  for (auto _ : state) {
    size_t len = buffer.size();
    Sm4EcbCrypt(buffer.data(), kKey, buffer.data(), &len, 0);
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_Sm4EcbDecryptInPlace1MiB)->Unit(benchmark::kMillisecond);

// One exam block: key decode, zero-fill A with the 32 paper bytes at its start, SM3 of A,
// SM4 encryption of A into B and in-place decryption of B, SM3 of B, and the comparison.
void BM_ExamBlock(benchmark::State& state) {
  std::vector<uint8_t> a(kBufferSize);
  std::vector<uint8_t> b(kBufferSize);
  const std::string keyText = "0123456789abcdeffedcba9876543210";
  uint8_t paper[32];
  for (int i = 0; i < 32; ++i) paper[i] = static_cast<uint8_t>(i * 7 + 1);
  uint8_t key[16] = {};
  uint8_t d1[32];
  uint8_t d2[32];
  for (auto _ : state) {
    HexDecode(keyText, key, sizeof key);
    std::memset(a.data(), 0, a.size());
    std::memcpy(a.data(), paper, sizeof paper);
    Sm3DigestBlocks(a.data(), a.size(), d1);
    size_t len = a.size();
    Sm4EcbCrypt(b.data(), key, a.data(), &len, 1);
    len = b.size();
    Sm4EcbCrypt(b.data(), key, b.data(), &len, 0);
    Sm3DigestBlocks(b.data(), b.size(), d2);
    if (std::memcmp(d1, d2, sizeof d1) != 0) state.SkipWithError("SM4 round trip failed");
    benchmark::DoNotOptimize(d2);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ExamBlock)->Unit(benchmark::kMillisecond);

}  // namespace
