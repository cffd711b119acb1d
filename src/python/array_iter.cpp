// The Array iterator: a snapshot of the elements, read one float at a time.
#include "python/areas.hpp"
#include "python/args.hpp"
#include "python/array_parts.hpp"
#include "python/docs.hpp"

namespace kestrum::py {

namespace {

// The array's elements when the iterator was made and the next one to give.
struct IterState {
    Buffer<double> data;
    std::size_t position = 0;
};

PyObject* iter_slot(PyObject* self) {
    return guarded([&] {
        Buffer<double> copy = ArrayRef(self)->data;
        return wrap_value(array_iter_type(), IterState{std::move(copy)});
    });
}

PyObject* iter_next_slot(PyObject* self) {
    return guarded([&]() -> PyObject* {
        PyBox<IterState>* it = box<IterState>(self);
        ExclusiveBorrow guard(it->borrow);
        IterState& state = it->value;
        if (state.position >= state.data.size()) return nullptr;  // exhausted: StopIteration
        return float_result(state.data[state.position++]);
    });
}

const PyType_Slot slots[] = {{Py_tp_iter, reinterpret_cast<void*>(iter_slot)}};

}  // namespace

PyTypeObject* array_iter_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value<IterState>)},
            {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
            {Py_tp_iternext, reinterpret_cast<void*>(iter_next_slot)},
            {Py_tp_doc, const_cast<char*>(docs::array_iter)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"kestrum.PyArrayIter", sizeof(PyBox<IterState>), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type_without_constructor(&spec);
    }();
    return type;
}

constinit const ClassPart array_iteration{{}, slots};

}  // namespace kestrum::py
