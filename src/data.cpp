#include "data.hpp"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>
#if defined(__linux__)
#include <pthread.h>
#include <sys/mman.h>
#endif

namespace ornik {

namespace {

constexpr size_t kLargePage = size_t{1} << 21;
// Buffers from three quarters of a large page up take whole ones: a third more at most.
constexpr size_t kLargeBuffer = kLargePage / 4 * 3;

#if defined(MADV_HUGEPAGE)

// Under the address sanitizer nothing is kept, so that a use after free is still caught.
#if defined(__SANITIZE_ADDRESS__)
#define ORNIK_ADDRESS_SANITIZER
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORNIK_ADDRESS_SANITIZER
#endif
#endif
#if defined(ORNIK_ADDRESS_SANITIZER)
constexpr size_t kKeptLimit = 0;
#else
constexpr size_t kKeptLimit = size_t{256} << 20;
#endif

// Large buffers that were freed, kept for a later request of the same size. A fit's buffers have
// the sizes of its data, so the next fit on data of that shape takes them back instead of mapping
// new pages, whose first touch (zeroing, and on a virtual machine often the host backing them
// again) costs more than much of the fit. A request that no kept buffer fits releases at least as
// many kept bytes before it maps new ones, so the bytes kept and in use together never exceed
// the most ever in use at once; at most kKeptLimit bytes are kept.
class KeptBuffers {
 public:
  static KeptBuffers& instance() {
    // Never destroyed: buffers may be freed by other objects' destructors at exit.
    static KeptBuffers* const kept = [] {
      auto* k = new KeptBuffers;
      // A child forked while another thread holds the lock would wait on it forever.
      pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                     [] { instance().mutex_.unlock(); });
      return k;
    }();
    return *kept;
  }

  // A kept buffer of exactly `size` bytes, or null once at least `size` kept bytes (or all of
  // them) have been released.
  void* take(size_t size) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = buffers_.size(); i-- > 0;) {
      if (buffers_[i].second != size) continue;
      void* const p = buffers_[i].first;
      buffers_.erase(buffers_.begin() + static_cast<std::ptrdiff_t>(i));
      bytes_ -= size;
      return p;
    }
    release_oldest(bytes_ > size ? bytes_ - size : 0);
    return nullptr;
  }

  // Keeps p, releasing the oldest buffers beyond the limit. On a failure p is not kept.
  void keep(void* p, size_t size) {
    const std::lock_guard<std::mutex> lock(mutex_);
    buffers_.emplace_back(p, size);
    bytes_ += size;
    release_oldest(kKeptLimit);
  }

  size_t bytes() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }

 private:
  // Frees the oldest buffers until at most keep_bytes are kept.
  void release_oldest(size_t keep_bytes) {
    size_t n = 0;
    for (; n < buffers_.size() && bytes_ > keep_bytes; ++n) {
      bytes_ -= buffers_[n].second;
      std::free(buffers_[n].first);
    }
    buffers_.erase(buffers_.begin(), buffers_.begin() + static_cast<std::ptrdiff_t>(n));
  }

  std::mutex mutex_;
  std::vector<std::pair<void*, size_t>> buffers_;  // oldest first
  size_t bytes_ = 0;
};

// The whole large pages a buffer of `bytes` takes: the tail shares the last one too (leaving it to
// small pages costs a fault per 4 KiB), at most one page more than the buffer needs.
size_t large_size(size_t bytes) {
  return (bytes + kLargePage - 1) / kLargePage * kLargePage;
}

#endif  // MADV_HUGEPAGE

}  // namespace

void* allocate_large(size_t bytes) {
#if defined(MADV_HUGEPAGE)
  if (bytes >= kLargeBuffer) {
    const size_t size = large_size(bytes);
    if (void* kept = KeptBuffers::instance().take(size)) return kept;
    void* p = nullptr;
    if (posix_memalign(&p, kLargePage, size) != 0) throw std::bad_alloc();
    (void)madvise(p, size, MADV_HUGEPAGE);
    return p;
  }
#endif
  return ::operator new(bytes);
}

void free_large(void* p, size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
  if (bytes >= kLargeBuffer) {
    try {
      KeptBuffers::instance().keep(p, large_size(bytes));
    } catch (...) {
      std::free(p);
    }
    return;
  }
#endif
  ::operator delete(p, bytes);
}

size_t kept_large_bytes() {
#if defined(MADV_HUGEPAGE)
  return KeptBuffers::instance().bytes();
#else
  return 0;
#endif
}

void sort_total_order(std::span<double> values) {
  std::sort(values.begin(), values.end(), total_order_less);
}

}  // namespace ornik
