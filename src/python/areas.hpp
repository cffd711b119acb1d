// What each area unit of the binding layer provides to module initialisation and to the Array
// class. Method tables are null-terminated and listed in registration order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kestrum::py {

// array.cpp
PyTypeObject* array_type();
PyTypeObject* array_iter_type();
extern PyMethodDef array_module_functions[];  // zeros, ones, full, asarray, eye, diag, column_stack

// linalg.cpp
extern PyMethodDef linalg_functions[];
extern PyMethodDef linalg_array_methods[];  // Array.matmul, dot, transpose, t, diagonal, outer
PyObject* array_matmul_slot(PyObject* left, PyObject* right);  // the @ operator

// stats.cpp
extern PyMethodDef stats_functions[];
extern PyMethodDef stats_array_methods[];  // Array.sum, mean, var, std, any, all, median, quantile

// random.cpp
PyTypeObject* generator_type();
extern PyMethodDef random_functions[];  // seed, new

// spatial.cpp
PyTypeObject* ball_tree_type();
PyTypeObject* kd_tree_type();
PyTypeObject* vp_tree_type();

// Placeholder body for an entry whose area is not built yet.
PyObject* not_built(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Makes a heap type from `spec` on first use and keeps it for the life of the process.
PyTypeObject* make_type(PyType_Spec* spec);

}  // namespace kestrum::py
