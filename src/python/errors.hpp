// The C++ -> Python exception boundary. Every entry runs its body inside `guarded`, which maps
//   PyErrSet (a Python exception is already set) -> unchanged
//   Panic                                       -> PanicException
//   Error                                       -> ValueError
//   std::bad_alloc                              -> MemoryError
//   Interrupted                                 -> the pending signal exception (KeyboardInterrupt)
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "python/compat.hpp"

namespace kestrum::py {

// Thrown after a Python exception has been set; unwinds to the entry's `guarded`.
struct PyErrSet {};

[[noreturn]] void raise(PyObject* type, const std::string& message);
// Throws PyErrSet for the exception the interpreter has already set.
[[noreturn]] void raise_current();

// PanicException: derives from BaseException, made once per process, not a module attribute.
PyObject* panic_exception_type();

// Translates the exception being handled (call from a catch block only).
void set_error_from_current_exception() noexcept;

template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

template <class F>
int guarded_status(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

// The value of a core Result, or the Error raised as `type`.
template <class T>
T unwrap(Result<T>&& r, PyObject* type = PyExc_ValueError) {
    if (!r.ok()) raise(type, r.error().message);
    return std::move(r.value());
}

// "{type}: {message}" of an exception, followed by ", caused by {type}: {message}" per cause.
std::string describe_chain(PyObject* exc);
// The description of the pending exception, which it clears; empty when none is pending.
std::string take_pending_description();

// New reference holder for owned PyObject pointers.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Owned reference, or PyErrSet when the API call failed (returned null).
inline PyObject* check(PyObject* result) {
    if (!result) raise_current();
    return result;
}

}  // namespace kestrum::py
