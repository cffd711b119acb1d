// Releasing the interpreter lock around a core computation, and the signal poll that goes with it.
#include "python/release.hpp"

#include "python/errors.hpp"

namespace kestrum::py {

namespace {

// Whether the calling thread is the interpreter's main thread (the one that runs signal handlers).
// Looked up at each call: after a fork the main thread may be another one.
bool on_main_thread() {
    Ref threading(PyImport_ImportModule("threading"));
    Ref main = threading.get() ? Ref(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
    Ref ident = main.get() ? Ref(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    if (!ident.get()) {
        PyErr_Clear();
        return true;  // cannot tell: polling anyway costs little
    }
    const unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return id == PyThread_get_thread_ident();
}

}  // namespace

ReleasedLock::ReleasedLock() {
    if (on_main_thread()) poll_ = StopPoll{check_signals, this};
    saved_ = PyEval_SaveThread();
}

bool ReleasedLock::check_signals(void* self) noexcept {
    auto* r = static_cast<ReleasedLock*>(self);
    PyEval_RestoreThread(r->saved_);
    const bool raised = PyErr_CheckSignals() != 0;
    r->saved_ = PyEval_SaveThread();
    return raised;
}

}  // namespace kestrum::py
