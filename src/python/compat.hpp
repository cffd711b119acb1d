// What differs between the CPython versions the module supports (3.9 to 3.13), in one place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

namespace kestrum::py {

// The unqualified name of a class ("KDTree" for "kestrum.KDTree"), without the private API.
inline const char* type_name(PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot ? dot + 1 : type->tp_name;
}
inline const char* type_name_of(PyObject* o) { return type_name(Py_TYPE(o)); }

// Takes the pending exception out of the interpreter, normalised: a new reference, or null when
// none is pending.
inline PyObject* take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Turns the cyclic garbage collector off; true when it was on.
inline bool disable_gc() noexcept {
#if PY_VERSION_HEX >= 0x030A0000
    return PyGC_Disable() == 1;
#else
    PyObject* gc = PyImport_ImportModule("gc");
    PyObject* enabled = gc ? PyObject_CallMethod(gc, "isenabled", nullptr) : nullptr;
    PyObject* off = enabled == Py_True ? PyObject_CallMethod(gc, "disable", nullptr) : nullptr;
    const bool was_enabled = off != nullptr;
    Py_XDECREF(off);
    Py_XDECREF(enabled);
    Py_XDECREF(gc);
    PyErr_Clear();
    return was_enabled;
#endif
}

// Turns the cyclic garbage collector back on, keeping any pending exception.
inline void enable_gc() noexcept {
#if PY_VERSION_HEX >= 0x030A0000
    PyGC_Enable();
#else
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyObject* gc = PyImport_ImportModule("gc");
    PyObject* on = gc ? PyObject_CallMethod(gc, "enable", nullptr) : nullptr;
    Py_XDECREF(on);
    Py_XDECREF(gc);
    PyErr_Restore(type, value, trace);
#endif
}

// Interpreters before 3.10 keep only the part after the "Name(params)\n--\n\n" signature of a
// class doc given in a spec; this puts the whole doc back so the class keeps its text signature.
inline void keep_class_signature(PyTypeObject* type, const PyType_Spec* spec) {
#if PY_VERSION_HEX < 0x030A0000
    for (const PyType_Slot* s = spec->slots; s->slot; ++s) {
        if (s->slot != Py_tp_doc || !s->pfunc) continue;
        const std::size_t n = std::strlen(static_cast<const char*>(s->pfunc)) + 1;
        char* doc = static_cast<char*>(PyObject_Malloc(n));  // the type frees it with PyObject_Free
        if (!doc) return;
        std::memcpy(doc, s->pfunc, n);
        PyObject_Free(const_cast<char*>(type->tp_doc));
        type->tp_doc = doc;
    }
#else
    (void)type;
    (void)spec;
#endif
}

// Makes a heap type from `spec` (module.cpp); it is kept for the life of the process.
PyTypeObject* make_type(PyType_Spec* spec);
// Calling a class made from `spec` raises TypeError "cannot create 'kestrum.X' instances": by the
// type flag where the interpreter has it (3.10+), by a refusing tp_new before.
inline PyTypeObject* make_type_without_constructor(PyType_Spec* spec) {
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
    spec->flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    return make_type(spec);
#else
    PyTypeObject* type = make_type(spec);
    if (type) {
        type->tp_new = [](PyTypeObject* t, PyObject*, PyObject*) -> PyObject* {
            PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", t->tp_name);
            return nullptr;
        };
        PyType_Modified(type);
    }
    return type;
#endif
}

}  // namespace kestrum::py
