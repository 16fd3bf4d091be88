// The subtrees that the top of a Fast tree defers, handed to whole-subtree workers as they come.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace ornik {

// A subtree left to the subtree workers: its block of rows and the placeholder node that stands
// for it in the top of the tree.
struct DeferredSubtree {
  size_t placeholder;
  size_t begin, end, depth;
};

// Shared by the thread that grows the top of a tree, which defers subtrees, and the workers that
// grow them meanwhile. Each worker takes the largest subtree waiting, so that no thread is left
// with one big subtree at the end.
class SubtreeQueue {
 public:
  void defer(const DeferredSubtree& subtree);
  // Whether no subtree is waiting or being grown: the workers are then free for other work.
  bool idle() const;
  // No more subtrees will come; with abandon, those still waiting are dropped too.
  void close(bool abandon = false);
  // The next subtree to grow and its index in deferral order; waits while none is waiting and
  // more may come; none once the queue is closed and empty. done() tells when it is grown.
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

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<DeferredSubtree> subtrees_;
  std::vector<size_t> waiting_;  // a heap, the largest subtree on top
  size_t growing_ = 0;
  bool closed_ = false;
};

}  // namespace ornik
