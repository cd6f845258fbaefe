// The single-thread 4 KiB tests visit the positions their generator draws, in order: one
// draw for the position, then (write) 64 value/position pairs for the data change. The 64
// concurrent workers each spread over their own region of the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "diskbench/disk_engine.h"
#include "platform/clock.h"
#include "platform/direct_io.h"
#include "support/simulated_medium.h"

namespace sorvanta {
namespace {

using namespace diskbench;

// The engine's generator from a fresh thread's state.
struct Lcg {
  uint32_t state = 1;
  int Next() {
    state = state * 214013u + 2531011u;
    return static_cast<int>((state >> 16) & 0x7fff);
  }
};

std::vector<uint64_t> Positions(bool write, uint64_t fileBytes) {
  testing::SimulatedMedium medium;
  std::unique_ptr<platform::File> f = medium.Open("/t/file", platform::OpenMode::kCreateTruncate, true).value();
  std::vector<char> bytes(1 << 20);
  for (uint64_t done = 0; done < fileBytes; done += bytes.size()) f->Write(bytes.data(), bytes.size());
  f.reset();
  DiskTestOptions opt;
  opt.root = "/t";
  opt.engine.randomTestMs = 30;
  opt.engine.stopPauseMs = 1;
  std::thread t([&] {  // a fresh thread: the generator starts from its initial state
    platform::AlignedBuffer block(kBlockSize);
    NoDiskEvents events;
    DiskResult result;
    if (write) {
      RandWrite4KTest("/t/file", opt, block.data(), events, result, {});
    } else {
      RandRead4KTest("/t/file", opt, block.data(), events, result, {});
    }
  });
  t.join();
  return medium.Seeks();
}

TEST(DiskEngine4K, PositionsAndDataChangesFollowTheGenerator) {
  const uint64_t size = 64ull << 20;
  const uint64_t blocks = size / 4096;
  for (bool write : {false, true}) {
    std::vector<uint64_t> seen = Positions(write, size);
    ASSERT_GT(seen.size(), 10u);
    Lcg g;
    if (write)
      for (int i = 0; i < 4096; ++i) g.Next();  // the first 4096 bytes get their values first
    for (size_t i = 0; i < seen.size(); ++i) {
      uint64_t want = RandomOffset(blocks, g.Next() % 1000);
      ASSERT_EQ(seen[i], want) << (write ? "write" : "read") << " I/O " << i;
      if (write)
        for (int j = 0; j < 128; ++j) g.Next();  // 64 changed bytes: value, then position
    }
  }
}

// Each worker stays inside its region, reaches from its first tenth to its last, draws
// hundreds of different positions there, and no two workers draw the same sequence.
TEST(DiskEngine4K, ConcurrentWorkersSpreadOverTheirOwnRegions) {
  testing::SimulatedMedium medium;
  ASSERT_TRUE(medium.Open("/t/file", platform::OpenMode::kCreateTruncate, true).ok());
  // Time advances a millisecond whenever it is read (once per transfer), so every worker
  // makes the same number of draws however loaded the machine is.
  std::atomic<uint32_t> ticks{5000};
  struct TickSource {
    explicit TickSource(std::atomic<uint32_t>* t) { platform::SetTickSourceForTesting([t] { return (*t)++; }); }
    ~TickSource() { platform::SetTickSourceForTesting(nullptr); }
  } tickSource(&ticks);
  DiskTestOptions opt;
  opt.root = "/t";
  opt.engine.randomTestMs = 400;
  const uint64_t region = 2000 * 4096;
  std::vector<GM_TestFile> tasks = MakeConcurrentRecords("/t/file", kConcurrentWorkers * region);
  std::set<std::vector<uint64_t>> sequences;
  for (GM_TestFile& task : tasks) {
    SCOPED_TRACE("worker " + std::to_string(task.seed));
    const size_t before = medium.Seeks().size();
    std::thread([&] {
      NoDiskEvents events;
      ConcurrentReadWorker(&task, opt, events, {});
    }).join();
    const std::vector<uint64_t> all = medium.Seeks();
    std::vector<uint64_t> mine(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    ASSERT_GT(mine.size(), 300u);
    for (uint64_t& at : mine) {
      ASSERT_GE(at, task.regionStart);
      ASSERT_LT(at, task.regionStart + region);
      ASSERT_EQ(at % 4096, 0u);
      at -= task.regionStart;
    }
    EXPECT_LT(*std::min_element(mine.begin(), mine.end()), region / 10);
    EXPECT_GE(*std::max_element(mine.begin(), mine.end()), region * 9 / 10);
    EXPECT_GT(std::set<uint64_t>(mine.begin(), mine.end()).size(), 250u);
    EXPECT_TRUE(sequences.insert(mine).second) << "the same positions as another worker";
  }
}

}  // namespace
}  // namespace sorvanta
