// linalg submodule entries and the Array members of linear algebra.
#include "array/linalg.hpp"
#include "python/areas.hpp"
#include "python/args.hpp"

namespace kestrum::py {

namespace {

PyObject* pair_result(std::pair<ArrayF64, ArrayF64>&& p) {
    Ref first(wrap_array(std::move(p.first)));
    Ref second(wrap_array(std::move(p.second)));
    return tuple2(first.release(), second.release());
}

// ---- products ---------------------------------------------------------------------------------

PyObject* product_of(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        ArrayRef x = arg_array(a[0], "a");
        ArrayRef y = arg_array(a[1], "b");
        return wrap_array(matmul(*x, *y));
    });
}

PyObject* linalg_matmul(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"matmul", {"a", "b"}, 2};
    return product_of(sig, args, nargs, kwnames);
}

PyObject* linalg_dot(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"dot", {"a", "b"}, 2};
    return product_of(sig, args, nargs, kwnames);
}

PyObject* method_product(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        ArrayRef x(self);
        ArrayRef y = arg_array(a[0], "other");
        return wrap_array(matmul(*x, *y));
    });
}

PyObject* array_matmul(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Array.matmul", {"other"}, 1};
    return method_product(sig, self, args, nargs, kwnames);
}

PyObject* array_dot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Array.dot", {"other"}, 1};
    return method_product(sig, self, args, nargs, kwnames);
}

PyObject* outer_of(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        ArrayF64 x = as_ndarray(arg_vec_or_array(a[0], "a"));
        ArrayF64 y = as_ndarray(arg_vec_or_array(a[1], "b"));
        return wrap_array(outer(x, y));
    });
}

PyObject* linalg_outer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"outer", {"a", "b"}, 2};
    return outer_of(sig, args, nargs, kwnames);
}

PyObject* array_outer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Array.outer", {"a", "b"}, 2};
    return outer_of(sig, args, nargs, kwnames);
}

// ---- views ------------------------------------------------------------------------------------

PyObject* linalg_transpose(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"transpose", {"a"}, 1};
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        return wrap_array(transpose(*arg_array(a[0], "a")));
    });
}

PyObject* method_transpose(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&] {
        bind(sig, args, nargs, kwnames);
        return wrap_array(transpose(*ArrayRef(self)));
    });
}

PyObject* array_transpose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Array.transpose", {}, 0};
    return method_transpose(sig, self, args, nargs, kwnames);
}

PyObject* array_t(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Array.t", {}, 0};
    return method_transpose(sig, self, args, nargs, kwnames);
}

// `k` is converted before the dimension check, so its conversion error wins.
PyObject* diagonal_of(const ArrayRef& a, PyObject* k_arg) {
    const std::int64_t k = arg_opt_i64(k_arg, "k").value_or(0);
    if (a->ndim() != 2) raise(PyExc_ValueError, "diagonal requires a 2D array");
    return wrap_array(diagonal(*a, k));
}

PyObject* linalg_diagonal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"diagonal", {"a", "k"}, 1};
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        ArrayRef x = arg_array(a[0], "a");
        return diagonal_of(x, a[1]);
    });
}

PyObject* array_diagonal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Array.diagonal", {"k"}, 0};
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        return diagonal_of(ArrayRef(self), a[0]);
    });
}

// ---- factorisations and eigenvalues -----------------------------------------------------------

PyObject* linalg_qr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"qr", {"a"}, 1};
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        return pair_result(unwrap(qr(*arg_array(a[0], "a"))));
    });
}

PyObject* linalg_cholesky(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"cholesky", {"a"}, 1};
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        return wrap_array(unwrap(cholesky(*arg_array(a[0], "a"))));
    });
}

PyObject* linalg_eig(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"eig", {"a"}, 1};
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        return pair_result(unwrap(eig_with_params(*arg_array(a[0], "a"), 1000, 1e-10)));
    });
}

// An explicit None is converted (and refused) like any other value: only absence selects the default.
PyObject* linalg_eig_with_params(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"eig_with_params", {"a", "max_iter", "tol"}, 1};
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        ArrayRef x = arg_array(a[0], "a");
        const std::uint64_t max_iter = a[1] ? arg_u64(a[1], "max_iter") : 1000;
        const double tol = a[2] ? arg_f64(a[2], "tol") : 1e-10;
        return pair_result(unwrap(eig_with_params(*x, max_iter, tol)));
    });
}

PyObject* linalg_eigvals(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"eigvals", {"a"}, 1};
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        return wrap_array(unwrap(eigvals(*arg_array(a[0], "a"))));
    });
}

}  // namespace

// `@`: only Array @ Array; anything else defers to Python (no reflected form).
PyObject* array_matmul_slot(PyObject* left, PyObject* right) {
    if (!is_array(left) || !is_array(right)) Py_RETURN_NOTIMPLEMENTED;
    return guarded([&] {
        ArrayRef x(left);
        ArrayRef y(right);
        return wrap_array(matmul(*x, *y));
    });
}

PyMethodDef linalg_functions[] = {
    {"matmul", KESTRUM_FASTCALL(linalg_matmul), KESTRUM_ENTRY_FLAGS, "matmul(a, b)\n--\n\n"},
    {"dot", KESTRUM_FASTCALL(linalg_dot), KESTRUM_ENTRY_FLAGS, "dot(a, b)\n--\n\n"},
    {"transpose", KESTRUM_FASTCALL(linalg_transpose), KESTRUM_ENTRY_FLAGS, "transpose(a)\n--\n\n"},
    {"cholesky", KESTRUM_FASTCALL(linalg_cholesky), KESTRUM_ENTRY_FLAGS, "cholesky(a)\n--\n\n"},
    {"qr", KESTRUM_FASTCALL(linalg_qr), KESTRUM_ENTRY_FLAGS, "qr(a)\n--\n\n"},
    {"eig", KESTRUM_FASTCALL(linalg_eig), KESTRUM_ENTRY_FLAGS, "eig(a)\n--\n\n"},
    {"eig_with_params", KESTRUM_FASTCALL(linalg_eig_with_params), KESTRUM_ENTRY_FLAGS,
     "eig_with_params(a, max_iter=1000, tol=1e-10)\n--\n\n"},
    {"eigvals", KESTRUM_FASTCALL(linalg_eigvals), KESTRUM_ENTRY_FLAGS, "eigvals(a)\n--\n\n"},
    {"diagonal", KESTRUM_FASTCALL(linalg_diagonal), KESTRUM_ENTRY_FLAGS, "diagonal(a, k=None)\n--\n\n"},
    {"outer", KESTRUM_FASTCALL(linalg_outer), KESTRUM_ENTRY_FLAGS, "outer(a, b)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef linalg_array_methods[] = {
    {"outer", KESTRUM_FASTCALL(array_outer), KESTRUM_ENTRY_FLAGS | METH_STATIC, "outer(a, b)\n--\n\n"},
    {"matmul", KESTRUM_FASTCALL(array_matmul), KESTRUM_ENTRY_FLAGS, "matmul($self, other)\n--\n\n"},
    {"dot", KESTRUM_FASTCALL(array_dot), KESTRUM_ENTRY_FLAGS, "dot($self, other)\n--\n\n"},
    {"transpose", KESTRUM_FASTCALL(array_transpose), KESTRUM_ENTRY_FLAGS, "transpose($self)\n--\n\n"},
    {"t", KESTRUM_FASTCALL(array_t), KESTRUM_ENTRY_FLAGS, "t($self)\n--\n\n"},
    {"diagonal", KESTRUM_FASTCALL(array_diagonal), KESTRUM_ENTRY_FLAGS, "diagonal($self, k=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrum::py
