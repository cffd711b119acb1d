// A buffer of another object, held for as long as this object lives and released on every exit
// path.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

#include "python/errors.hpp"

namespace kestrum::py {

class HeldBuffer {
public:
    // PyObject_GetBuffer with `flags`; its failure is raised.
    HeldBuffer(PyObject* o, int flags) {
        if (PyObject_GetBuffer(o, &view_, flags) < 0) raise_current();
    }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { PyBuffer_Release(&view_); }

    const Py_buffer& view() const { return view_; }
    std::span<const std::uint8_t> bytes() const {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

}  // namespace kestrum::py
