// Running a core computation with the interpreter lock released, so that other Python threads
// run meanwhile. Arguments must be converted, and every object the computation reads held (borrow
// guards, buffer views), before the lock is released; results are wrapped after it is taken back.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/parallel.hpp"

namespace kestrum::py {

// Releases the lock for its lifetime; destruction (also by an exception) takes it back. Its poll,
// asked by the core on this thread, briefly takes the lock to run the signal handlers and reports
// whether one raised (Ctrl-C: KeyboardInterrupt is then pending). Only the main thread polls:
// the interpreter runs signal handlers nowhere else.
class ReleasedLock {
public:
    ReleasedLock();
    ~ReleasedLock() { PyEval_RestoreThread(saved_); }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

    const StopPoll& poll() const { return poll_; }

private:
    static bool check_signals(void* self) noexcept;

    PyThreadState* saved_ = nullptr;
    StopPoll poll_;
};

// compute(const StopPoll&) run with the lock released.
template <class F>
decltype(auto) without_lock(F&& compute) {
    ReleasedLock released;
    return compute(released.poll());
}

}  // namespace kestrum::py
