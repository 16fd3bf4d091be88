#include "subtree_queue.hpp"

#include <algorithm>

namespace ornik {
void SubtreeQueue::defer(const DeferredSubtree& subtree) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    subtrees_.push_back(subtree);
    waiting_.push_back(subtrees_.size() - 1);
    std::push_heap(waiting_.begin(), waiting_.end(), fewer_rows());
  }
  changed_.notify_one();
}

bool SubtreeQueue::idle() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return waiting_.empty() && growing_ == 0;
}

void SubtreeQueue::done() {
  const std::lock_guard<std::mutex> lock(mutex_);
  --growing_;
}

void SubtreeQueue::close(bool abandon) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    if (abandon) waiting_.clear();
  }
  changed_.notify_all();
}

std::optional<std::pair<size_t, DeferredSubtree>> SubtreeQueue::take() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return closed_ || !waiting_.empty(); });
  if (waiting_.empty()) return std::nullopt;
  std::pop_heap(waiting_.begin(), waiting_.end(), fewer_rows());
  const size_t id = waiting_.back();
  waiting_.pop_back();
  ++growing_;
  return std::make_pair(id, subtrees_[id]);
}

}  // namespace ornik
