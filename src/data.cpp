#include "data.hpp"

#include <algorithm>
#include <cstdlib>
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace ornik {

namespace {

constexpr size_t kLargePage = size_t{1} << 21;
// Buffers from three quarters of a large page up take whole ones: a third more at most.
constexpr size_t kLargeBuffer = kLargePage / 4 * 3;

}  // namespace

void* allocate_large(size_t bytes) {
#if defined(MADV_HUGEPAGE)
  if (bytes >= kLargeBuffer) {
    // The tail shares the last large page too (leaving it to small pages costs a fault per
    // 4 KiB), at most one page more than the buffer needs.
    const size_t size = (bytes + kLargePage - 1) / kLargePage * kLargePage;
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
    std::free(p);
    return;
  }
#endif
  ::operator delete(p, bytes);
}

void sort_total_order(std::span<double> values) {
  std::sort(values.begin(), values.end(), total_order_less);
}

}  // namespace ornik
