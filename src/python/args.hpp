// Argument conversion shared by every entry: the `arg_*` converters implement one parameter kind
// each and add the "argument '{name}': " prefix to a TypeError in one place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "array/ndarray.hpp"
#include "python/array_object.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"

namespace kestrum::py {

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

// When a conversion's failure means "this form does not apply" and the caller tries its next form.
enum class Fallback : std::uint8_t {
    on_conversion_error,  // TypeError, ValueError, or OverflowError (a number beyond float64)
    on_ordinary_error,    // any Exception but MemoryError
};
// Clears the pending exception when `when` allows falling back on it; true if it did.
bool clear_if_fallback(Fallback when);

// The result of `convert`, or nothing when it failed in a way `when` allows (the error is
// cleared). Any other exception propagates unchanged: interrupts, exits, panics and memory
// exhaustion are never a reason to try another form.
template <class F>
auto attempt(Fallback when, F&& convert) -> std::optional<decltype(convert())> {
    try {
        return convert();
    } catch (const PyErrSet&) {
        if (!clear_if_fallback(when)) throw;
        return std::nullopt;
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
