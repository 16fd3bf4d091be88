// What one native estimator holds: its settings and its fitted tree, shared safely between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "task.hpp"
#include "tree.hpp"

namespace ornik::py {

// A fitted tree; never changed once made.
template <class Payload>
struct Grown {
  NodeList<Payload> nodes;            // never empty
  std::optional<size_t> max_feature;  // the largest split feature
};

// Many threads may use one estimator at once. Fits run one after the other (a second waits for
// the first to end), and each swaps its whole tree in at its end, so a prediction beside a fit
// reads either the old tree or the new one, through its own reference.
template <class Task>
struct Estimator {
  using Payload = typename Task::Payload;

  // The settings, fixed at construction.
  Task task;
  TreeParams params;
  std::unique_ptr<Aggregator> aggregator;
  std::vector<size_t> categorical;  // ascending, no repeats
  uint64_t n_classes = 0;

  // Held by the running fit, taken with the interpreter lock released; recursive, so that a
  // progress callback may refit the estimator it reports on.
  std::recursive_mutex fitting;

  // The fitted tree, or null before the first fit.
  std::shared_ptr<const Grown<Payload>> fitted() const {
    const std::lock_guard<std::mutex> lock(swap_);
    return grown_;
  }
  void install(NodeList<Payload> nodes) {
    if (nodes.empty()) return;
    const std::optional<size_t> max_feature = max_split_feature(nodes);
    auto grown =
        std::make_shared<const Grown<Payload>>(Grown<Payload>{std::move(nodes), max_feature});
    const std::lock_guard<std::mutex> lock(swap_);
    grown_.swap(grown);  // the old tree goes when its last reader lets it go
  }

 private:
  mutable std::mutex swap_;
  std::shared_ptr<const Grown<Payload>> grown_;
};

}  // namespace ornik::py
