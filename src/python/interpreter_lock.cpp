#include "interpreter_lock.hpp"

#include <chrono>

namespace ornik::py {

void report_progress(PyObject* progress, uint64_t settled, uint64_t total) {
  PyRef args = checked(Py_BuildValue("(KK)", static_cast<unsigned long long>(settled),
                                     static_cast<unsigned long long>(total)));
  checked(PyObject_CallObject(progress, args.get()));
}

namespace {

// Taking the lock back can wait for another thread's turn, so it is not done at every node; the
// interval still answers a Ctrl-C at once to the eye.
constexpr std::chrono::milliseconds kRelockInterval{50};

}  // namespace

NodeHook between_nodes(LockReleased& released, PyObject* progress, uint64_t total) {
  using Clock = std::chrono::steady_clock;
  return NodeHook(
      [&released, progress, total, next = Clock::time_point::min()](uint64_t settled) mutable {
        const Clock::time_point now = Clock::now();
        if (now < next) return;
        next = now + kRelockInterval;
        released.relocked([&] {
          if (PyErr_CheckSignals() != 0) throw PyErrorSet{};
          if (progress != nullptr) report_progress(progress, settled, total);
        });
      });
}

}  // namespace ornik::py
