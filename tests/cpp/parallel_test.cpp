// The ordered parallel map: chunking, result order and failure reporting.
#include "parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

namespace ornik {
namespace {

struct ChunkCase {
  size_t items;
  size_t threads;
  size_t expected_threads;
};

class ParMapChunks : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(ParMapChunks, ResultsInItemOrderOnExpectedThreadCount) {
  const ChunkCase c = GetParam();
  std::vector<size_t> items(c.items);
  for (size_t i = 0; i < c.items; ++i) items[i] = i;
  std::mutex mu;
  std::set<std::thread::id> seen;
  const auto out = par_map(items, c.threads, [&](size_t i) {
    // Later items finish first, so order must come from the chunks, not from completion.
    std::this_thread::sleep_for(std::chrono::microseconds(200 * (c.items - i)));
    std::lock_guard<std::mutex> lock(mu);
    seen.insert(std::this_thread::get_id());
    return i * 10;
  });
  ASSERT_EQ(out.size(), c.items);
  for (size_t i = 0; i < c.items; ++i) EXPECT_EQ(out[i], i * 10);
  EXPECT_EQ(seen.size(), c.expected_threads);
  if (c.items <= 1) {
    EXPECT_EQ(seen.count(std::this_thread::get_id()), c.items);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ParMapChunks,
                         ::testing::Values(ChunkCase{10, 4, 4}, ChunkCase{10, 16, 10},
                                           ChunkCase{5, 4, 3}, ChunkCase{1, 8, 1},
                                           ChunkCase{0, 8, 0}));

TEST(ParMap, WorkerFailureWaitsForEveryWorker) {
  std::vector<int> items{0, 1, 2, 3};
  std::atomic<int> finished{0};
  try {
    par_map(items, 4, [&](int i) {
      if (i == 0) throw std::runtime_error("boom");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ++finished;
      return i;
    });
    FAIL() << "expected a failure";
  } catch (const ParallelError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("worker thread panicked", 0), 0u) << e.what();
  }
  EXPECT_EQ(finished.load(), 3);
}

}  // namespace
}  // namespace ornik
