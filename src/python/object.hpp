// The layout shared by every kestrum class: one C++ value behind the object header, guarded by
// a borrow flag. `wrap_value` makes an instance, `dealloc_value` is its tp_dealloc, `ValueRef`
// reads the value under a shared borrow.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

#include "python/borrow.hpp"
#include "python/errors.hpp"

namespace kestrum::py {

template <class T>
struct PyBox {
    PyObject_HEAD BorrowFlag borrow;
    T value;
};

template <class T>
PyBox<T>* box(PyObject* o) {
    return reinterpret_cast<PyBox<T>*>(o);
}

// A new instance of `type` (whose basic size is sizeof(PyBox<T>)) holding `value`.
template <class T>
PyObject* wrap_value(PyTypeObject* type, T&& value) {
    using V = std::remove_cvref_t<T>;
    PyObject* obj = check(type->tp_alloc(type, 0));
    PyBox<V>* b = box<V>(obj);
    b->borrow = BorrowFlag{};
    new (&b->value) V(std::forward<T>(value));
    return obj;
}

template <class T>
void dealloc_value(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    box<T>(self)->value.~T();
    type->tp_free(self);
    Py_DECREF(type);  // heap types own a reference from each instance
}

// The value of an instance, read in place under a shared borrow for as long as this object lives.
template <class T>
class ValueRef {
public:
    explicit ValueRef(PyObject* self) : guard_(box<T>(self)->borrow), value_(&box<T>(self)->value) {}
    const T& operator*() const { return *value_; }
    const T* operator->() const { return value_; }
    const T& get() const { return *value_; }

private:
    SharedBorrow guard_;
    const T* value_;
};

}  // namespace kestrum::py
