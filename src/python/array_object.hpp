// The Array object: an owned ArrayF64 behind a borrow flag.
#pragma once

#include "array/ndarray.hpp"
#include "python/object.hpp"

namespace kestrum::py {

using PyArray = PyBox<ArrayF64>;
// An Array read in place under a shared borrow for as long as this object lives.
using ArrayRef = ValueRef<ArrayF64>;

PyTypeObject* array_type();
inline bool is_array(PyObject* o) { return Py_TYPE(o) == array_type(); }
// A new Array instance owning `value`.
inline PyObject* wrap_array(ArrayF64&& value) { return wrap_value(array_type(), std::move(value)); }

}  // namespace kestrum::py
