// Native work without the interpreter lock, so that other Python threads run meanwhile; the lock
// is taken back only for short calls into the interpreter.
#pragma once

#include <cstdint>

#include "pyref.hpp"
#include "tree_builder.hpp"

namespace ornik::py {

// Releases the interpreter lock for its lifetime. Nothing in its scope touches a Python object
// except inside relocked().
class LockReleased {
 public:
  LockReleased() : state_(PyEval_SaveThread()) {}
  ~LockReleased() { PyEval_RestoreThread(state_); }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

  // Runs f with the lock held, then releases it again, also when f throws.
  template <class F>
  void relocked(F&& f) {
    PyEval_RestoreThread(state_);
    const Release release{state_};
    f();
  }

 private:
  struct Release {
    PyThreadState*& state;
    ~Release() { state = PyEval_SaveThread(); }
  };
  PyThreadState* state_;
};

// progress(settled, total), with the lock held; an exception it raises leaves as PyErrorSet.
void report_progress(PyObject* progress, uint64_t settled, uint64_t total);

// The between-nodes hook of a fit of `total` samples running under `released`. At its first call
// and then at most every few milliseconds it takes the lock back to run pending signal handlers
// (a Ctrl-C abandons the build with KeyboardInterrupt pending) and, unless progress is null, to
// report the settled samples.
NodeHook between_nodes(LockReleased& released, PyObject* progress, uint64_t total);

}  // namespace ornik::py
