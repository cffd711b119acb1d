// Module initialisation: one module object per process, filled in a fixed registration order.
#include <atomic>

#include "python/areas.hpp"
#include "python/docs.hpp"
#include "python/errors.hpp"

namespace kestrum::py {

PyTypeObject* make_type(PyType_Spec* spec) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
    if (type) keep_class_signature(type, spec);
    return type;
}

namespace {

// Sets module.name = value (value borrowed) and appends name to module.__all__.
void add(PyObject* module, const char* name, PyObject* value) {
    if (!value) raise_current();
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        all = check(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            raise_current();
        }
    }
    Ref hold(all);
    Ref text(check(PyUnicode_FromString(name)));
    if (PyList_Append(all, text.get()) < 0) raise_current();
    if (PyObject_SetAttrString(module, name, value) < 0) raise_current();
}

void add_type(PyObject* module, PyTypeObject* type) {
    if (!type) raise_current();
    add(module, type_name(type), reinterpret_cast<PyObject*>(type));
}

void add_functions(PyObject* module, std::span<const Member> rows) {
    PyMethodDef* defs = method_table({rows});
    Ref modname(check(PyUnicode_FromString(PyModule_GetName(module))));
    for (PyMethodDef* d = defs; d->ml_name; ++d) {
        Ref fn(check(PyCMethod_New(d, module, modname.get(), nullptr)));
        add(module, d->ml_name, fn.get());
    }
}

// A plain module object named `name` with the docstring `doc`, attached to `parent` as an
// attribute only.
PyObject* new_submodule(PyObject* parent, const char* name, const char* doc) {
    Ref sub(check(PyModule_New(name)));
    Ref text(check(PyUnicode_FromString(doc)));
    if (PyObject_SetAttrString(sub.get(), "__doc__", text.get()) < 0) raise_current();
    add(parent, name, sub.get());
    return sub.get();  // borrowed: parent holds it
}

void module_body(PyObject* m) {
    add_type(m, array_type());
    add_type(m, array_iter_type());
    add_type(m, generator_type());
    add_type(m, ball_tree_type());
    add_type(m, kd_tree_type());
    add_functions(m, array_module_functions);

    add_functions(new_submodule(m, "linalg", docs::linalg), linalg_functions);
    add_functions(new_submodule(m, "stats", docs::stats), stats_functions);

    PyObject* random = new_submodule(m, "random", docs::random);
    add_type(random, generator_type());
    add_functions(random, random_functions);

    PyObject* spatial = new_submodule(m, "spatial", docs::spatial);
    add_type(spatial, ball_tree_type());
    add_type(spatial, kd_tree_type());
    add_type(spatial, vp_tree_type());

    add_restore_functions(m);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kestrum", docs::module, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

// Runs the interpreter's signal handlers (Ctrl-C raises KeyboardInterrupt from its handler);
// true when one raised. Only the thread holding the interpreter lock may ask.
bool poll_signals() noexcept { return PyGILState_Check() && PyErr_CheckSignals() != 0; }

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* cached_module = nullptr;

PyObject* init() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "kestrum does not support sub-interpreters: it may only be imported once per process");
        return nullptr;
    }
    if (cached_module) {
        Py_INCREF(cached_module);
        return cached_module;
    }
    if (!panic_exception_type()) return nullptr;
    set_interrupt_poll(poll_signals);
    PyObject* m = PyModule_Create(&module_def);
    if (!m) return nullptr;
    try {
        module_body(m);
    } catch (...) {
        set_error_from_current_exception();
        Py_DECREF(m);
        return nullptr;
    }
    cached_module = m;
    Py_INCREF(cached_module);  // kept for the life of the process
    return m;
}

}  // namespace
}  // namespace kestrum::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_kestrum() { return kestrum::py::init(); }
