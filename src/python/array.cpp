// The Array type, assembled from its own slots (repr, shape, length) and the parts of the array units.
#include <vector>

#include "array/format.hpp"
#include "python/areas.hpp"
#include "python/args.hpp"
#include "python/array_parts.hpp"

namespace kestrum::py {

namespace {

PyObject* array_repr(PyObject* self) {
    return guarded([&] {
        ArrayRef a(self);
        const std::string text = repr(*a);
        return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

PyObject* array_shape(PyObject* self, void*) {
    return guarded([&] {
        ArrayRef a(self);
        const auto& dims = a->shape.dims;
        Ref list(check(PyList_New(static_cast<Py_ssize_t>(dims.size()))));
        for (std::size_t i = 0; i < dims.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromUnsignedLongLong(dims[i])));
        return list.release();
    });
}

Py_ssize_t array_len(PyObject* self) { return static_cast<Py_ssize_t>(box<ArrayF64>(self)->value.size()); }

PyGetSetDef array_getset[] = {
    {"shape", array_shape, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* array_type() {
    static PyTypeObject* type = [] {
        static std::vector<PyType_Slot> slots = {
            {Py_tp_new, reinterpret_cast<void*>(construct<array_new_entry>)},
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value<ArrayF64>)},
            {Py_tp_repr, reinterpret_cast<void*>(array_repr)},
            {Py_tp_doc, const_cast<char*>(class_doc(array_new_entry))},
            {Py_tp_getset, array_getset},
            {Py_mp_length, reinterpret_cast<void*>(array_len)},
            {Py_nb_matrix_multiply, reinterpret_cast<void*>(array_matmul_slot)},
        };
        const ClassPart* parts[] = {&array_constructors, &array_operators, &array_indexing, &array_lists,
                                    &array_numpy,        &array_iteration, &array_buffer,   &array_pickling};
        std::vector<std::span<const Member>> rows;
        for (const ClassPart* part : parts) {
            rows.push_back(part->methods);
            slots.insert(slots.end(), part->slots.begin(), part->slots.end());
        }
        // Its own methods, then those the linalg and stats areas contribute.
        rows.push_back(linalg_array_methods);
        rows.push_back(stats_array_methods);
        slots.push_back({Py_tp_methods, method_table(rows)});
        slots.push_back({0, nullptr});
        static PyType_Spec spec = {"kestrum.Array", sizeof(PyArray), 0, Py_TPFLAGS_DEFAULT, slots.data()};
        return make_type(&spec);
    }();
    return type;
}

}  // namespace kestrum::py
