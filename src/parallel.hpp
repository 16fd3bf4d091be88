// The one worker pool: a run of scoped threads that share a stop request and report failures in
// one way, and the ordered map over items built on it.
#pragma once

#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace ornik {

// A worker could not be started, or failed; the message begins "failed to spawn thread" or
// "worker thread panicked".
class ParallelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a worker calls between its steps; it throws to unwind the worker once the run is stopping.
using Checkpoint = std::function<void()>;

// Runs work(worker, checkpoint) for every worker in [0, n_workers): worker 0 on the calling
// thread, every other one on a thread of its own; returns once all have been joined. The run
// stops when a worker fails or between_steps throws: each worker then ends at its next
// checkpoint. between_steps runs on the calling thread only, at each of its checkpoints and,
// once its own work is done, every few milliseconds until the other workers have finished.
// After the join, what between_steps threw propagates as it is; else a thread that could not be
// started gives ParallelError("failed to spawn thread: ...") (the calling thread's work is then
// skipped); else the first failure of work on any thread gives
// ParallelError("worker thread panicked: ...").
void run_workers(size_t n_workers, const std::function<void(size_t, const Checkpoint&)>& work,
                 const Checkpoint& between_steps = {});

// The contiguous ranges [first, last) that cut n items among min(n, n_threads) workers: each of
// ceil(n / workers) items, the last one possibly shorter.
std::vector<std::pair<size_t, size_t>> even_chunks(size_t n, size_t n_threads);

// f(worker, item) for every item in [0, n_items), each handed to whichever of up to n_workers
// workers comes free first, so a worker that the system stalls holds up only the item it is on.
// For steps whose result does not depend on the worker that runs them. With one worker or item
// the calling thread runs them all, a failure propagating as it is.
void for_each_handed_out(size_t n_items, size_t n_workers,
                         const std::function<void(size_t worker, size_t item)>& f);

// f over every item, in item order: one chunk of even_chunks per worker. A single item runs on
// the calling thread, its failure propagating as it is.
template <class T, class F>
auto par_map(const std::vector<T>& items, size_t n_threads, F&& f)
    -> std::vector<decltype(f(items[0]))> {
  using R = decltype(f(items[0]));
  std::vector<R> out;
  if (items.size() <= 1) {
    for (const T& item : items) out.push_back(f(item));
    return out;
  }
  const std::vector<std::pair<size_t, size_t>> chunks = even_chunks(items.size(), n_threads);
  std::vector<std::vector<R>> parts(chunks.size());
  run_workers(chunks.size(), [&](size_t chunk, const Checkpoint&) {
    const auto [first, last] = chunks[chunk];
    parts[chunk].reserve(last - first);
    for (size_t i = first; i < last; ++i) parts[chunk].push_back(f(items[i]));
  });
  out.reserve(items.size());
  for (std::vector<R>& part : parts) {
    for (R& r : part) out.push_back(std::move(r));
  }
  return out;
}

}  // namespace ornik
