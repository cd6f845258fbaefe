// CPU costs of the reference service: recovering the pass count of a token request (an
// honest body, and the worst case, a well-formed body of random bytes where every candidate
// pass count has to be tried), and recomputing one sampled answer of a submission.
#include <benchmark/benchmark.h>

#include <random>

#include "server/exam_protocol.h"
#include "base/crypto.h"

namespace {

using namespace sorvanta::server;

void BM_TokenBodyHonest(benchmark::State& state) {
  std::string body = MakeTokenRequestBody(MakeFingerprint("bench", 1765000000), static_cast<int>(state.range(0)));
  DecodedFingerprint fp;
  for (auto _ : state) benchmark::DoNotOptimize(DecodeTokenRequestBody(body, &fp));
}
BENCHMARK(BM_TokenBodyHonest)->Arg(4)->Arg(64)->Arg(254)->Unit(benchmark::kMicrosecond);

void BM_TokenBodyGarbage(benchmark::State& state) {
  std::mt19937 random(7);
  std::string bytes(65, '\0');
  for (int i = 0; i < 64; ++i) bytes[i] = static_cast<char>(random());
  std::string body = sorvanta::Base64Encode(bytes);
  DecodedFingerprint fp;
  for (auto _ : state) benchmark::DoNotOptimize(DecodeTokenRequestBody(body, &fp));
}
BENCHMARK(BM_TokenBodyGarbage)->Unit(benchmark::kMicrosecond);

}  // namespace

namespace {

// One sampled answer recomputed when a score is checked: SM3 over a 1 MiB buffer.
void BM_AnswerCheck(benchmark::State& state) {
  std::string block(32, 'b');
  for (auto _ : state) benchmark::DoNotOptimize(sorvanta::server::BlockAnswer(block));
}
BENCHMARK(BM_AnswerCheck)->Unit(benchmark::kMillisecond);

}  // namespace
