// Per-object borrow flag: any number of readers or one writer, never waiting. A conflicting
// borrow raises RuntimeError at once (the interpreter lock is held, so a conflict can only come
// from re-entrant Python code such as a __float__ that touches the same object).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/errors.hpp"

namespace kestrum::py {

struct BorrowFlag {
    Py_ssize_t state = 0;  // > 0: readers, -1: one writer
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(&flag) {
        if (flag.state < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++flag.state;
    }
    SharedBorrow(SharedBorrow&& o) noexcept : flag_(o.flag_) { o.flag_ = nullptr; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (flag_) --flag_->state;
    }

private:
    BorrowFlag* flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(&flag) {
        if (flag.state != 0) raise(PyExc_RuntimeError, "Already borrowed");
        flag.state = -1;
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { flag_->state = 0; }

private:
    BorrowFlag* flag_;
};

}  // namespace kestrum::py
