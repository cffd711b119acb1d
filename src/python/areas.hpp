// What each area unit of the binding layer provides to module initialisation and to the Array
// class. Method rows are listed in registration order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

#include "python/entry.hpp"

namespace kestrum::py {

// array.cpp
PyTypeObject* array_type();
PyTypeObject* array_iter_type();
extern const std::span<const Member> array_module_functions;  // zeros, ones, full, asarray, eye, diag, column_stack

// linalg.cpp
extern const std::span<const Member> linalg_functions;
extern const std::span<const Member> linalg_array_methods;     // Array.matmul, dot, transpose, t, diagonal, outer
PyObject* array_matmul_slot(PyObject* left, PyObject* right);  // the @ operator

// stats.cpp
extern const std::span<const Member> stats_functions;
extern const std::span<const Member> stats_array_methods;  // Array.sum, mean, var, std, any, all, median, quantile

// random.cpp
PyTypeObject* generator_type();
extern const std::span<const Member> random_functions;  // seed, new

// spatial.cpp
PyTypeObject* ball_tree_type();
PyTypeObject* kd_tree_type();
PyTypeObject* vp_tree_type();

// pickling.cpp: the pickling and copying methods of each class (the Array's are an array part),
// and the private module functions that pickles name to rebuild objects (module attributes, not
// in __all__).
extern const std::span<const Member> generator_pickling_methods;
extern const std::span<const Member> kd_tree_pickling_methods;
extern const std::span<const Member> ball_tree_pickling_methods;
extern const std::span<const Member> vp_tree_pickling_methods;
void add_restore_functions(PyObject* module);

}  // namespace kestrum::py
