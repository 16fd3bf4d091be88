#include "subtree_queue.hpp"

#include <algorithm>

namespace ornik {

void SubtreeQueue::defer(const DeferredSubtree& subtree) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    subtrees_.push_back(subtree);
    if (abandoned_) return;
    waiting_.push_back(subtrees_.size() - 1);
    std::push_heap(waiting_.begin(), waiting_.end(), fewer_rows());
  }
  changed_.notify_one();
}

size_t SubtreeQueue::free_locked() const {
  const size_t busy = growing_ + (closed_ ? 0 : 1) + waiting_.size() + lent_;
  return n_workers_ > busy ? n_workers_ - busy : 0;
}

size_t SubtreeQueue::free_workers() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return free_locked();
}

size_t SubtreeQueue::lend(size_t wanted) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const size_t lent = std::min(wanted, free_locked());
  lent_ += lent;
  return lent;
}

void SubtreeQueue::give_back(size_t lent) {
  const std::lock_guard<std::mutex> lock(mutex_);
  lent_ -= lent;
}

void SubtreeQueue::done() {
  bool last;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    --growing_;
    last = finished();
  }
  if (last) changed_.notify_all();
}

void SubtreeQueue::close(bool abandon) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    if (abandon) {
      abandoned_ = true;
      waiting_.clear();
    }
  }
  changed_.notify_all();
}

std::optional<std::pair<size_t, DeferredSubtree>> SubtreeQueue::take() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !waiting_.empty() || finished(); });
  if (waiting_.empty()) return std::nullopt;
  std::pop_heap(waiting_.begin(), waiting_.end(), fewer_rows());
  const size_t id = waiting_.back();
  waiting_.pop_back();
  ++growing_;
  return std::make_pair(id, subtrees_[id]);
}

}  // namespace ornik
