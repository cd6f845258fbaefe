// Test data: the block layout, the generator it comes from, and that no two blocks of a run
// are alike even when several generator threads make them at once.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "capacity/pattern_blocks.h"
#include "platform/random.h"
#include "base/crypto.h"

namespace sorvanta::capacity {
namespace {

TEST(TestBlocks, PatternStreamIsTheClassicGeneratorModulo255) {
  PatternStream stream(1);
  uint8_t got[4];
  stream.Draw(got, 4);
  // rand() after srand(1): 41, 18467, 6334, 26500.
  EXPECT_EQ(got[0], 41);
  EXPECT_EQ(got[1], 18467 % 255);
  EXPECT_EQ(got[2], 6334 % 255);
  EXPECT_EQ(got[3], 26500 % 255);
  // The same generator as the platform's per-thread one, continued across draws.
  platform::ThreadSrand(99);
  PatternStream same(99);
  uint8_t a[1000];
  same.Draw(a, 600);
  same.Draw(a + 600, 400);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(a[i], platform::ThreadRand() % 255) << i;
}

TEST(TestBlocks, BlockIsThePatternCopied719TimesThenItsNumber) {
  PatternStream stream(5);
  platform::AlignedBuffer first(kCapacityBlockSize), second(kCapacityBlockSize);
  BuildTestBlock(stream, first.data());
  BuildTestBlock(stream, second.data());
  const uint8_t* b = first.data();
  for (size_t i = 0; i < kPatternBytes; ++i) ASSERT_LT(b[i], 255);
  for (size_t c = 1; c < kPatternCopies; ++c) ASSERT_EQ(std::memcmp(b, b + c * kPatternBytes, kPatternBytes), 0) << c;
  const size_t rest = kPatternBytes * kPatternCopies;
  EXPECT_EQ(kCapacityBlockSize - rest, 789u);
  EXPECT_EQ(second.data()[rest], 1);  // sequence number of the second block
  EXPECT_NE(std::memcmp(first.data(), second.data(), kPatternBytes), 0);
}

TEST(TestBlocks, TagSectorNamesTheBlockOnlyForItsOwnRun) {
  PatternStream stream(5);
  platform::AlignedBuffer block(kCapacityBlockSize);
  RunTag tag = NewRunTag();
  RunTag other = NewRunTag();
  ASSERT_NE(tag, other);
  BuildTestBlock(stream, block.data(), tag);
  uint64_t second = BuildTestBlock(stream, block.data(), tag);
  const uint8_t* sector = block.data() + kCapacityBlockSize - 4096;
  uint64_t number = 99;
  ASSERT_TRUE(ReadBlockTag(sector, tag, &number));
  EXPECT_EQ(number, 1u);
  EXPECT_EQ(second, 1u);
  // Blocks left behind by another run, and a zeroed sector, are not this run's data.
  EXPECT_FALSE(ReadBlockTag(sector, other, &number));
  std::vector<uint8_t> zeros(4096, 0);
  EXPECT_FALSE(ReadBlockTag(zeros.data(), RunTag{}, &number));
}

TEST(TestBlocks, GeneratorThreadsNeverMakeTheSameBlockTwice) {
  // Four threads started together from one seed: per-thread generators seeded alike would
  // make identical blocks in lockstep here. (No digests: the content itself is compared.)
  PatternStream stream(12345);
  BlockBufferPool pool;
  BlockGenerators generators(stream, pool, false);
  generators.Start(4);
  std::set<std::string> patterns;
  std::set<std::string> numbers;
  const size_t rest = kPatternBytes * kPatternCopies;
  for (int i = 0; i < 40; ++i) {
    TestBlock block = generators.Take();
    ASSERT_TRUE(block.data);
    patterns.insert(std::string(reinterpret_cast<char*>(block.data->data()), kPatternBytes));
    numbers.insert(std::string(reinterpret_cast<char*>(block.data->data() + rest), 8));
    pool.Release(std::move(block.data));
  }
  generators.Join();
  EXPECT_EQ(patterns.size(), 40u);  // the random part alone differs
  EXPECT_EQ(numbers.size(), 40u);   // and so does every block's number
}

TEST(TestBlocks, CheckBlocksCarryTheDigestOfTheWholeBlock) {
  PatternStream stream(77);
  BlockBufferPool pool;
  BlockGenerators generators(stream, pool, true);
  generators.Start(1);
  TestBlock block = generators.Take();
  generators.Join();
  ASSERT_TRUE(block.data);
  EXPECT_EQ(block.size, kCapacityBlockSize);
  uint8_t check[32];
  Sm3Digest(block.data->data(), kCapacityBlockSize, check);
  EXPECT_EQ(std::memcmp(check, block.digest, 32), 0);
}

TEST(TestBlocks, WipeBlocksCarryNoDigestAndTheQueueStaysBounded) {
  PatternStream stream(3);
  BlockBufferPool pool;
  {
    BlockGenerators generators(stream, pool, false);
    generators.Start(2);
    TestBlock block = generators.Take();
    EXPECT_EQ(block.size, 0u);
    pool.Release(std::move(block.data));
    // Without a taker the generators stop at the queue limit (plus one per further thread).
    for (int i = 0; i < 200 && generators.Made() < kBlockQueueLimit + 1; ++i) usleep(10000);
    usleep(200000);
    EXPECT_LE(generators.Made(), 1 + kBlockQueueLimit + 1);
    generators.Join();
  }
  // After Join the generators are gone and Take does not wait forever.
  BlockGenerators stopped(stream, pool, false);
  EXPECT_FALSE(stopped.Take().data);
}

}  // namespace
}  // namespace sorvanta::capacity
