// The subtrees that Fast mode's growers hand to one another, taken by whichever worker is free.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace ornik {

// The owner of a placeholder in the top of the tree (others are owned by a deferred subtree).
inline constexpr size_t kTopOfTree = std::numeric_limits<size_t>::max();

// A subtree left to another worker: its block of rows and the placeholder node that stands for it
// in its owner's nodes (the top of the tree, or the deferred subtree of that index).
struct DeferredSubtree {
  size_t owner;
  size_t placeholder;
  size_t begin, end, depth;
};

// Shared by the thread that grows the top of a tree and the workers that grow deferred subtrees;
// any of them may defer more. Each worker takes the largest subtree waiting, so that no thread is
// left with one big subtree at the end.
class SubtreeQueue {
 public:
  // Shared by n_workers threads, one of which grows the top of the tree first.
  explicit SubtreeQueue(size_t n_workers) : n_workers_(n_workers) {}

  void defer(const DeferredSubtree& subtree);
  // How many workers have no subtree to grow, nor one waiting for them, nor are lent: they are
  // free to help.
  size_t free_workers() const;
  // Lends up to `wanted` free workers (their cores, while they wait) and returns how many.
  size_t lend(size_t wanted);
  void give_back(size_t lent);
  // The top of the tree is done; with abandon, the subtrees waiting and any deferred later are
  // dropped too.
  void close(bool abandon = false);
  // The next subtree to grow and its index in deferral order; waits while none is waiting and
  // more may come (the top is not done or a subtree is being grown); none once every subtree is
  // grown. done() tells when it is grown, or has failed.
  std::optional<std::pair<size_t, DeferredSubtree>> take();
  void done();
  // Every deferred subtree, in deferral order; read once the growing threads are joined.
  const std::vector<DeferredSubtree>& subtrees() const { return subtrees_; }

 private:
  // The order of the waiting_ heap: by rows, so that the largest subtree is on top.
  auto fewer_rows() const {
    return [this](size_t a, size_t b) {
      return subtrees_[a].end - subtrees_[a].begin < subtrees_[b].end - subtrees_[b].begin;
    };
  }
  bool finished() const { return closed_ && growing_ == 0 && waiting_.empty(); }
  size_t free_locked() const;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<DeferredSubtree> subtrees_;
  std::vector<size_t> waiting_;  // a heap, the largest subtree on top
  size_t n_workers_;
  size_t growing_ = 0;
  size_t lent_ = 0;
  bool closed_ = false;
  bool abandoned_ = false;
};

// Free workers of a queue (or, without one, `wanted` workers) lent for as long as this lives.
class LentWorkers {
 public:
  LentWorkers(size_t wanted, SubtreeQueue* queue)
      : queue_(queue), count_(queue && wanted > 0 ? queue->lend(wanted) : wanted) {}
  ~LentWorkers() {
    if (queue_ && count_ > 0) queue_->give_back(count_);
  }
  LentWorkers(const LentWorkers&) = delete;
  LentWorkers& operator=(const LentWorkers&) = delete;
  size_t count() const { return count_; }

 private:
  SubtreeQueue* queue_;
  size_t count_;
};

}  // namespace ornik
