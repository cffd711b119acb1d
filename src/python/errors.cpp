// The exception boundary: failures of the core and of conversions raised as Python exceptions.
#include "python/errors.hpp"

#include <new>
#include <stdexcept>

namespace kestrum::py {

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PyErrSet{};
}

void raise_current() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw PyErrSet{};
}

PyObject* panic_exception_type() {
    // Made on first use and kept for the life of the process (one class object per process).
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "kestrum.PanicException", "An internal invariant of kestrum was violated.", PyExc_BaseException, nullptr);
    return type;
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const Interrupted&) {
        // The poll that stopped the loop has already set the signal handler's exception.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const Panic& p) {
        PyObject* type = panic_exception_type();
        if (type) PyErr_SetString(type, p.message.c_str());
    } catch (const Error& e) {
        PyErr_SetString(PyExc_ValueError, e.message.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyObject* type = panic_exception_type();
        if (type) PyErr_SetString(type, "capacity overflow");
    } catch (const std::exception& e) {
        PyObject* type = panic_exception_type();
        if (type) PyErr_SetString(type, e.what());
    } catch (...) {
        PyObject* type = panic_exception_type();
        if (type) PyErr_SetString(type, "unknown internal failure");
    }
}

static void append_one(std::string& out, PyObject* exc) {
    out += type_name_of(exc);
    out += ": ";
    PyObject* text = PyObject_Str(exc);
    if (text) {
        const char* s = PyUnicode_AsUTF8(text);
        if (s) out += s;
        Py_DECREF(text);
    }
    PyErr_Clear();
}

std::string take_pending_description() {
    Ref error(take_pending_exception());
    return error ? describe_chain(error.get()) : std::string();
}

std::string describe_chain(PyObject* exc) {
    std::string out;
    append_one(out, exc);
    PyObject* cause = PyException_GetCause(exc);  // new reference or null
    int depth = 0;
    while (cause && depth++ < 32) {
        out += ", caused by ";
        append_one(out, cause);
        PyObject* next = PyException_GetCause(cause);
        Py_DECREF(cause);
        cause = next;
    }
    Py_XDECREF(cause);
    return out;
}

}  // namespace kestrum::py
