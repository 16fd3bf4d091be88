// The worker pool: chunking and result order of the map, and how a run stops.
#include "parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>
#include <tuple>

namespace ornik {
namespace {

// Items, threads asked for, threads expected to run.
using ChunkCase = std::tuple<size_t, size_t, size_t>;
class ParMapChunks : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(ParMapChunks, ResultsInItemOrderOnExpectedThreadCount) {
  const auto [n_items, threads, expected_threads] = GetParam();
  std::vector<size_t> items(n_items);
  std::iota(items.begin(), items.end(), size_t{0});
  std::mutex mu;
  std::set<std::thread::id> seen;
  const auto out = par_map(items, threads, [&](size_t i) {
    // Later items finish first, so order must come from the chunks, not from completion.
    std::this_thread::sleep_for(std::chrono::microseconds(200 * (n_items - i)));
    std::lock_guard<std::mutex> lock(mu);
    seen.insert(std::this_thread::get_id());
    return i * 10;
  });
  ASSERT_EQ(out.size(), n_items);
  for (size_t i = 0; i < n_items; ++i) EXPECT_EQ(out[i], i * 10);
  EXPECT_EQ(seen.size(), expected_threads);
  for (const auto& [first, last] : even_chunks(n_items, threads)) EXPECT_LT(first, last);
  // One item or none runs on the calling thread.
  EXPECT_TRUE(n_items > 1 || seen.count(std::this_thread::get_id()) == n_items);
}

INSTANTIATE_TEST_SUITE_P(Cases, ParMapChunks,
                         ::testing::Values(ChunkCase{10, 4, 4}, ChunkCase{10, 16, 10},
                                           ChunkCase{5, 4, 3}, ChunkCase{1, 8, 1},
                                           ChunkCase{0, 8, 0}));

// Workers 1..3 step through checkpoints for up to a second; worker 0, the calling thread, is done
// at once and answers the hook while it waits. However the run stops, every worker ends at its
// next checkpoint and has been joined before the cause comes out.
struct StopCase {
  int failing_worker;  // -1: none, the hook throws on its third call instead
  bool parallel_error;
  const char* message;
};

class RunWorkersStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(RunWorkersStop, EveryWorkerEndsAtItsNextCheckpoint) {
  const StopCase c = GetParam();
  std::atomic<int> ended{0}, ran_out{0};
  int hook_calls = 0;
  const Checkpoint hook = [&] {
    if (c.failing_worker < 0 && ++hook_calls == 3) throw std::runtime_error("interrupted");
  };
  const auto work = [&](size_t worker, const Checkpoint& checkpoint) {
    struct End {
      std::atomic<int>& ended;
      ~End() { ++ended; }
    } end{ended};
    if (static_cast<int>(worker) == c.failing_worker) throw std::runtime_error("boom");
    if (worker == 0) return;
    for (int step = 0; step < 1000; ++step) {
      checkpoint();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ++ran_out;
  };
  try {
    run_workers(4, work, hook);
    FAIL() << "expected a failure";
  } catch (const std::exception& e) {
    EXPECT_EQ(dynamic_cast<const ParallelError*>(&e) != nullptr, c.parallel_error);
    EXPECT_STREQ(e.what(), c.message);
  }
  EXPECT_EQ(ended.load(), 4);
  EXPECT_EQ(ran_out.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Causes, RunWorkersStop,
                         ::testing::Values(StopCase{-1, false, "interrupted"},
                                           StopCase{0, true, "worker thread panicked: boom"},
                                           StopCase{2, true, "worker thread panicked: boom"}));

}  // namespace
}  // namespace ornik
