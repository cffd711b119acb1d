// Argument binding and conversion shared by every entry.
//
// Each callable declares a Signature (its name as messages show it, parameter names, how many
// are required). `bind` maps fast-call arguments onto the parameters with the interpreter's
// usual binding messages. The `arg_*` converters implement one parameter kind each and add the
// "argument '{name}': " prefix to a TypeError in one place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "array/ndarray.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"

namespace kestrum::py {

constexpr std::size_t kMaxParams = 8;

struct Signature {
    const char* qualname;  // "asarray", "Array.asarray", "Array.__new__"
    std::initializer_list<const char*> params;
    std::size_t required;
};

// Borrowed references to the bound arguments; null where an optional argument was not given.
class BoundArgs {
public:
    PyObject* operator[](std::size_t i) const { return items_[i]; }
    // Given and not None.
    bool present(std::size_t i) const { return items_[i] && items_[i] != Py_None; }

private:
    friend BoundArgs bind(const Signature&, PyObject* const*, Py_ssize_t, PyObject*);
    std::array<PyObject*, kMaxParams> items_{};
};

BoundArgs bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The same binding for a call given as an argument tuple and a keyword dict (tp_new slots).
BoundArgs bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs);

// One fast-call entry per (signature, body): binds the arguments, then runs the body guarded.
// `self` is the instance for methods and the module for functions.
using Body = PyObject* (*)(PyObject* self, const BoundArgs& a);

template <const Signature& Sig, Body F>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return F(self, bind(Sig, args, nargs, kwnames)); });
}

// Fast-call entry shapes.
using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
#define KESTRUM_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
#define KESTRUM_ENTRY_FLAGS (METH_FASTCALL | METH_KEYWORDS)
#define KESTRUM_ENTRY(sig, body) KESTRUM_FASTCALL((entry<sig, body>))

// ---- the Array class (defined in array.cpp) -------------------------------------------------
struct PyArray {
    PyObject_HEAD
    BorrowFlag borrow;
    ArrayF64 value;
};

PyTypeObject* array_type();
inline bool is_array(PyObject* o) { return Py_TYPE(o) == array_type(); }
// A new Array instance owning `value`.
PyObject* wrap_array(ArrayF64&& value);

// An Array read in place under a shared borrow for as long as this object lives.
class ArrayRef {
public:
    explicit ArrayRef(PyObject* array)
        : guard_(reinterpret_cast<PyArray*>(array)->borrow), value_(&reinterpret_cast<PyArray*>(array)->value) {}
    const ArrayF64& operator*() const { return *value_; }
    const ArrayF64* operator->() const { return value_; }
    const ArrayF64& get() const { return *value_; }

private:
    SharedBorrow guard_;
    const ArrayF64* value_;
};

// ---- converters -------------------------------------------------------------------------------
// Runs `convert`; a TypeError it raises gets the "argument '{name}': " prefix, others pass.
[[noreturn]] void reraise_for_argument(const char* name);

template <class F>
auto with_argument(const char* name, F&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PyErrSet&) {
        reraise_for_argument(name);
    }
}

// Unprefixed conversions (raise PyErrSet).
double to_f64(PyObject* o);
std::uint64_t to_u64(PyObject* o);
std::int64_t to_i64(PyObject* o);
std::vector<std::uint64_t> to_u64_list(PyObject* o);
std::vector<double> to_f64_list(PyObject* o);
Buffer<double> to_f64_buffer(PyObject* o);

// Named conversions, one per parameter kind.
double arg_f64(PyObject* o, const char* name);
std::uint64_t arg_u64(PyObject* o, const char* name);
std::int64_t arg_i64(PyObject* o, const char* name);
std::vector<std::uint64_t> arg_u64_list(PyObject* o, const char* name);
// A `shape` parameter: a sequence (not a str) of non-negative integers.
Shape arg_shape(PyObject* o);
Buffer<double> arg_f64_list(PyObject* o, const char* name);
ArrayRef arg_array(PyObject* o, const char* name);
ArrayF64 arg_array_copy(PyObject* o, const char* name);
// A sequence (not a str) of Arrays, each copied.
std::vector<ArrayF64> arg_array_list(PyObject* o, const char* name);
std::string arg_str(PyObject* o, const char* name);

// Optional parameters: absent (null) or None gives nullopt.
std::optional<std::uint64_t> arg_opt_u64(PyObject* o, const char* name);
std::optional<std::int64_t> arg_opt_i64(PyObject* o, const char* name);
std::optional<double> arg_opt_f64(PyObject* o, const char* name);

// VecOrArray: an Array (copied) or a flat sequence of numbers.
using VecOrArray = std::variant<ArrayF64, Buffer<double>>;
VecOrArray arg_vec_or_array(PyObject* o, const char* name);
// The one-dimensional array a VecOrArray stands for (a Vec becomes shape [n]).
ArrayF64 as_ndarray(VecOrArray&& v);

// ArrayOrScalar: an Array (copied) or a float64.
using ArrayOrScalar = std::variant<ArrayF64, double>;
ArrayOrScalar to_array_or_scalar(PyObject* o);
ArrayOrScalar arg_array_or_scalar(PyObject* o, const char* name);

// ---- result builders --------------------------------------------------------------------------
PyObject* float_result(double x);
PyObject* list_of_indices(const std::vector<std::size_t>& indices);
PyObject* tuple2(PyObject* a, PyObject* b);  // steals both

}  // namespace kestrum::py
