// The Array class and the array module functions.
#include <vector>

#include "array/format.hpp"
#include "python/areas.hpp"
#include "python/args.hpp"

namespace kestrum::py {

namespace {

PyArray* as_py(PyObject* o) { return reinterpret_cast<PyArray*>(o); }

// "Data length {n} doesn't match shape {shape} (expected {size})"
ArrayF64 array_from_parts(std::vector<std::uint64_t> dims, Buffer<double> data) {
    Shape shape(std::move(dims));
    const std::uint64_t size = shape.size();
    if (size != data.size())
        raise(PyExc_ValueError, "Data length " + std::to_string(data.size()) + " doesn't match shape " +
                                    format_dims(shape.dims) + " (expected " + std::to_string(size) + ")");
    return ArrayF64::create(std::move(shape), std::move(data));
}

// ---- construction, repr, shape, len -----------------------------------------------------------

PyObject* array_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        // Re-pack into fast-call form so binding messages come from the shared parser.
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        std::vector<PyObject*> flat(args ? &PyTuple_GET_ITEM(args, 0) : nullptr,
                                    args ? &PyTuple_GET_ITEM(args, 0) + nargs : nullptr);
        Ref kwnames;
        if (kwargs && PyDict_GET_SIZE(kwargs)) {
            kwnames = Ref(check(PyTuple_New(PyDict_GET_SIZE(kwargs))));
            Py_ssize_t pos = 0, i = 0;
            PyObject *k, *v;
            while (PyDict_Next(kwargs, &pos, &k, &v)) {
                Py_INCREF(k);
                PyTuple_SET_ITEM(kwnames.get(), i++, k);
                flat.push_back(v);
            }
        }
        static const Signature sig{"Array.__new__", {"shape", "data"}, 2};
        BoundArgs a = bind(sig, flat.data(), nargs, kwnames.get());
        auto dims = arg_u64_list(a[0], "shape");
        auto data = arg_f64_list(a[1], "data");
        return wrap_array(array_from_parts(std::move(dims), std::move(data)));
    });
}

void array_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_py(self)->value.~ArrayF64();
    type->tp_free(self);
    Py_DECREF(type);
}

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

Py_ssize_t array_len(PyObject* self) { return static_cast<Py_ssize_t>(as_py(self)->value.size()); }

// ---- asarray ----------------------------------------------------------------------------------

PyObject* asarray_with(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        VecOrArray data = arg_vec_or_array(a[0], "data");
        std::optional<std::vector<std::uint64_t>> dims;
        if (a.present(1)) dims = arg_u64_list(a[1], "shape");
        Buffer<double> flat =
            std::holds_alternative<ArrayF64>(data) ? std::move(std::get<ArrayF64>(data).data)
                                                   : std::move(std::get<Buffer<double>>(data));
        if (!dims) dims = std::vector<std::uint64_t>{flat.size()};
        return wrap_array(array_from_parts(std::move(*dims), std::move(flat)));
    });
}

PyObject* asarray_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"asarray", {"data", "shape"}, 1};
    return asarray_with(sig, args, nargs, kwnames);
}

PyObject* asarray_static(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Array.asarray", {"data", "shape"}, 1};
    return asarray_with(sig, args, nargs, kwnames);
}

// ---- type -------------------------------------------------------------------------------------

PyMethodDef array_own_methods[] = {
    {"asarray", KESTRUM_FASTCALL(asarray_static), KESTRUM_ENTRY_FLAGS | METH_STATIC, "asarray(data, shape=None)\n--\n\n"},
    {"zeros", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS | METH_STATIC, "zeros(shape)\n--\n\n"},
    {"ones", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS | METH_STATIC, "ones(shape)\n--\n\n"},
    {"full", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS | METH_STATIC, "full(shape, fill_value)\n--\n\n"},
    {"eye", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS | METH_STATIC, "eye(n, m=None, k=None)\n--\n\n"},
    {"diag", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS | METH_STATIC, "diag(v, k=None)\n--\n\n"},
    {"abs", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "abs($self)\n--\n\n"},
    {"sign", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "sign($self)\n--\n\n"},
    {"sqrt", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "sqrt($self)\n--\n\n"},
    {"exp", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "exp($self)\n--\n\n"},
    {"log", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "log($self)\n--\n\n"},
    {"sin", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "sin($self)\n--\n\n"},
    {"cos", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "cos($self)\n--\n\n"},
    {"tan", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "tan($self)\n--\n\n"},
    {"arcsin", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "arcsin($self)\n--\n\n"},
    {"arccos", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "arccos($self)\n--\n\n"},
    {"arctan", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "arctan($self)\n--\n\n"},
    {"clip", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "clip($self, min, max)\n--\n\n"},
    {"get", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "get($self, indices)\n--\n\n"},
    {"take", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "take($self, indices)\n--\n\n"},
    {"tolist", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "tolist($self)\n--\n\n"},
    {"to_pylist_recursive", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "to_pylist_recursive($self, dim, offset)\n--\n\n"},
    {"to_numpy", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "to_numpy($self)\n--\n\n"},
    {"from_numpy", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS | METH_STATIC, "from_numpy(arr)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The class's methods: its own, then those the linalg and stats areas contribute.
PyMethodDef* all_array_methods() {
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> t;
        for (PyMethodDef* defs : {array_own_methods, linalg_array_methods, stats_array_methods})
            for (PyMethodDef* d = defs; d->ml_name; ++d) t.push_back(*d);
        t.push_back({nullptr, nullptr, 0, nullptr});
        return t;
    }();
    return table.data();
}

PyGetSetDef array_getset[] = {
    {"shape", array_shape, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* array_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(array_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(array_dealloc)},
            {Py_tp_repr, reinterpret_cast<void*>(array_repr)},
            {Py_tp_doc, const_cast<char*>("Array(shape, data)\n--\n\n")},
            {Py_tp_methods, all_array_methods()},
            {Py_tp_getset, array_getset},
            {Py_mp_length, reinterpret_cast<void*>(array_len)},
            {Py_nb_matrix_multiply, reinterpret_cast<void*>(array_matmul_slot)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"kestrum.Array", sizeof(PyArray), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    }();
    return type;
}

PyObject* wrap_array(ArrayF64&& value) {
    PyTypeObject* type = array_type();
    PyObject* obj = check(type->tp_alloc(type, 0));
    PyArray* a = as_py(obj);
    a->borrow = BorrowFlag{};
    new (&a->value) ArrayF64(std::move(value));
    return obj;
}

PyTypeObject* array_iter_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {{0, nullptr}};
        static PyType_Spec spec = {"kestrum.PyArrayIter", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    }();
    return type;
}

PyMethodDef array_module_functions[] = {
    {"zeros", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "zeros(shape)\n--\n\n"},
    {"ones", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "ones(shape)\n--\n\n"},
    {"full", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "full(shape, fill_value)\n--\n\n"},
    {"asarray", KESTRUM_FASTCALL(asarray_function), KESTRUM_ENTRY_FLAGS, "asarray(data, shape=None)\n--\n\n"},
    {"eye", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "eye(n, m=None, k=None)\n--\n\n"},
    {"diag", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "diag(v, k=None)\n--\n\n"},
    {"column_stack", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "column_stack(arrays)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrum::py
