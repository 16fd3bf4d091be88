#include "parallel.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace ornik {
namespace {

// Thrown from a checkpoint to unwind a worker once the run is stopping.
struct StopRequested {};

}  // namespace

void run_workers(size_t n_workers, const std::function<void(size_t, const Checkpoint&)>& work,
                 const Checkpoint& between_steps) {
  std::atomic<bool> stopping{false};
  std::mutex mutex;  // guards running and failure
  std::condition_variable worker_finished;
  size_t running = 0;              // spawned workers still at work
  std::string failure;             // the first failure of work
  std::exception_ptr interrupted;  // what between_steps threw (calling thread only)

  const auto run_work = [&](size_t worker, const Checkpoint& checkpoint) {
    std::string what;
    try {
      work(worker, checkpoint);
      return;
    } catch (const StopRequested&) {
      return;
    } catch (const std::exception& e) {
      what = e.what()[0] ? e.what() : "unknown error";
    } catch (...) {
      what = "unknown error";
    }
    const std::lock_guard<std::mutex> lock(mutex);
    if (failure.empty()) failure = std::move(what);
    stopping = true;
  };
  const Checkpoint worker_checkpoint = [&stopping] {
    if (stopping.load(std::memory_order_relaxed)) throw StopRequested{};
  };
  // False once between_steps has thrown, which stops the run.
  const auto answer_between_steps = [&] {
    try {
      between_steps();
      return true;
    } catch (...) {
      interrupted = std::current_exception();
      stopping = true;
      return false;
    }
  };
  const Checkpoint caller_checkpoint = [&] {
    if (between_steps && !answer_between_steps()) throw StopRequested{};
    worker_checkpoint();
  };

  std::vector<std::thread> threads;
  threads.reserve(n_workers > 0 ? n_workers - 1 : 0);
  std::string spawn_failure;
  for (size_t worker = 1; worker < n_workers; ++worker) {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      ++running;
    }
    try {
      threads.emplace_back([&, worker] {
        run_work(worker, worker_checkpoint);
        const std::lock_guard<std::mutex> lock(mutex);
        --running;
        worker_finished.notify_one();
      });
    } catch (const std::system_error& e) {
      const std::lock_guard<std::mutex> lock(mutex);
      --running;
      spawn_failure = std::string("failed to spawn thread: ") + e.what();
      stopping = true;
      break;
    }
  }
  if (spawn_failure.empty() && n_workers > 0) {
    run_work(0, caller_checkpoint);
    // Once between_steps has thrown it is not called again.
    if (between_steps && !interrupted) {
      std::unique_lock<std::mutex> lock(mutex);
      while (running > 0) {
        lock.unlock();
        const bool answered = answer_between_steps();
        lock.lock();
        if (!answered) break;
        worker_finished.wait_for(lock, std::chrono::milliseconds(5), [&] { return running == 0; });
      }
    }
  }
  for (std::thread& thread : threads) thread.join();
  if (interrupted) std::rethrow_exception(interrupted);
  if (!spawn_failure.empty()) throw ParallelError(spawn_failure);
  if (!failure.empty()) throw ParallelError("worker thread panicked: " + failure);
}

std::vector<std::pair<size_t, size_t>> even_chunks(size_t n, size_t n_threads) {
  std::vector<std::pair<size_t, size_t>> chunks;
  if (n == 0) return chunks;
  const size_t workers = std::min(n, std::max<size_t>(n_threads, 1));
  const size_t chunk_size = (n + workers - 1) / workers;
  for (size_t first = 0; first < n; first += chunk_size) {
    chunks.emplace_back(first, std::min(first + chunk_size, n));
  }
  return chunks;
}

void for_each_handed_out(size_t n_items, size_t n_workers,
                         const std::function<void(size_t, size_t)>& f) {
  if (n_workers <= 1 || n_items <= 1) {
    for (size_t item = 0; item < n_items; ++item) f(0, item);
    return;
  }
  std::atomic<size_t> next{0};
  run_workers(std::min(n_items, n_workers), [&](size_t worker, const Checkpoint&) {
    for (size_t item; (item = next.fetch_add(1, std::memory_order_relaxed)) < n_items;)
      f(worker, item);
  });
}

}  // namespace ornik
