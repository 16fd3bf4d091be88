// Ordered map over items on scoped worker threads, one contiguous chunk per thread.
#pragma once

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace ornik {

// A worker could not be started, or failed; the message begins "failed to spawn thread" or
// "worker thread panicked".
class ParallelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

template <class T, class F>
auto par_map(const std::vector<T>& items, size_t n_threads, F&& f)
    -> std::vector<decltype(f(items[0]))> {
  using R = decltype(f(items[0]));
  const size_t n = items.size();
  std::vector<R> out;
  if (n == 0) return out;
  if (n == 1) {
    out.push_back(f(items[0]));
    return out;
  }
  const size_t workers = std::min(n, std::max<size_t>(n_threads, 1));
  const size_t chunk = (n + workers - 1) / workers;

  struct Slot {
    size_t start = 0;
    std::vector<R> results;
    std::string failure;  // non-empty when f threw
  };
  std::vector<size_t> starts;
  for (size_t start = 0; start < n; start += chunk) starts.push_back(start);
  std::vector<Slot> slots(starts.size());
  std::vector<std::thread> threads;
  threads.reserve(starts.size());

  std::string spawn_failure;
  for (size_t c = 0; c < starts.size(); ++c) {
    Slot& slot = slots[c];
    slot.start = starts[c];
    const size_t end = std::min(slot.start + chunk, n);
    try {
      threads.emplace_back([&slot, &items, &f, end] {
        try {
          slot.results.reserve(end - slot.start);
          for (size_t i = slot.start; i < end; ++i) slot.results.push_back(f(items[i]));
        } catch (const std::exception& e) {
          slot.failure = e.what()[0] ? e.what() : "unknown error";
        } catch (...) {
          slot.failure = "unknown error";
        }
      });
    } catch (const std::system_error& e) {
      spawn_failure = std::string("failed to spawn thread: ") + e.what();
      break;
    }
  }
  for (std::thread& t : threads) t.join();
  if (!spawn_failure.empty()) throw ParallelError(spawn_failure);
  for (size_t c = 0; c < threads.size(); ++c) {
    if (!slots[c].failure.empty())
      throw ParallelError("worker thread panicked: " + slots[c].failure);
  }
  // Slots are already in chunk order, hence in item order.
  out.reserve(n);
  for (Slot& slot : slots) {
    for (R& r : slot.results) out.push_back(std::move(r));
  }
  return out;
}

}  // namespace ornik
