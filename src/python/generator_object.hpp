// The Python object of the Generator class: four state words behind a borrow flag.
#pragma once

#include "python/borrow.hpp"
#include "random/generator.hpp"

namespace kestrum::py {

struct PyGenerator {
    PyObject_HEAD
    BorrowFlag borrow;
    Generator value;
};

// A new Generator instance at `value`'s point of the stream (defined in random.cpp).
PyObject* wrap_generator(const Generator& value);

}  // namespace kestrum::py
