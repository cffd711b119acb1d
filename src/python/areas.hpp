// What each area unit of the binding layer provides to module initialisation and to the Array
// class. Method tables are null-terminated and listed in registration order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>

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

// buffer.cpp: the Array's buffer export slots.
int array_getbuffer(PyObject* self, Py_buffer* view, int flags);
void array_releasebuffer(PyObject* self, Py_buffer* view);

// pickling.cpp: pickling and copying methods of each class, and the private module functions
// that pickles name to rebuild objects (attributes of the module, not in __all__).
extern PyMethodDef array_pickling_methods[];
extern PyMethodDef generator_pickling_methods[];
extern PyMethodDef kd_tree_pickling_methods[];
extern PyMethodDef ball_tree_pickling_methods[];
extern PyMethodDef vp_tree_pickling_methods[];
void add_restore_functions(PyObject* module);

// One null-terminated method table made of several, in order; kept for the life of the process.
PyMethodDef* joined_methods(std::initializer_list<PyMethodDef*> tables);

// Placeholder body for an entry whose area is not built yet.
PyObject* not_built(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Makes a heap type from `spec` on first use and keeps it for the life of the process.
PyTypeObject* make_type(PyType_Spec* spec);

}  // namespace kestrum::py
