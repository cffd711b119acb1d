// linalg submodule entries and the Array members of linear algebra.
#include "linalg/products.hpp"
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

PyObject* product_body(PyObject*, const BoundArgs& a) {
    ArrayRef x = arg_array(a[0], "a");
    ArrayRef y = arg_array(a[1], "b");
    return wrap_array(matmul(*x, *y));
}

PyObject* method_product_body(PyObject* self, const BoundArgs& a) {
    ArrayRef x(self);
    ArrayRef y = arg_array(a[0], "other");
    return wrap_array(matmul(*x, *y));
}

PyObject* outer_body(PyObject*, const BoundArgs& a) {
    ArrayF64 x = as_ndarray(arg_vec_or_array(a[0], "a"));
    ArrayF64 y = as_ndarray(arg_vec_or_array(a[1], "b"));
    return wrap_array(outer(x, y));
}

// ---- views ------------------------------------------------------------------------------------

PyObject* transpose_body(PyObject*, const BoundArgs& a) { return wrap_array(transpose(*arg_array(a[0], "a"))); }

PyObject* method_transpose_body(PyObject* self, const BoundArgs&) { return wrap_array(transpose(*ArrayRef(self))); }

// `k` is converted before the dimension check, so its conversion error wins.
PyObject* diagonal_of(const ArrayRef& a, PyObject* k_arg) {
    const std::int64_t k = arg_opt_i64(k_arg, "k").value_or(0);
    if (a->ndim() != 2) raise(PyExc_ValueError, "diagonal requires a 2D array");
    return wrap_array(diagonal(*a, k));
}

PyObject* diagonal_body(PyObject*, const BoundArgs& a) { return diagonal_of(arg_array(a[0], "a"), a[1]); }

PyObject* method_diagonal_body(PyObject* self, const BoundArgs& a) { return diagonal_of(ArrayRef(self), a[0]); }

// ---- factorisations and eigenvalues -----------------------------------------------------------

PyObject* qr_body(PyObject*, const BoundArgs& a) { return pair_result(unwrap(qr(*arg_array(a[0], "a")))); }

PyObject* cholesky_body(PyObject*, const BoundArgs& a) {
    return wrap_array(unwrap(cholesky(*arg_array(a[0], "a"))));
}

PyObject* eig_body(PyObject*, const BoundArgs& a) {
    return pair_result(unwrap(eig_with_params(*arg_array(a[0], "a"), 1000, 1e-10)));
}

// An explicit None is converted (and refused) like any other value: only absence selects the default.
PyObject* eig_with_params_body(PyObject*, const BoundArgs& a) {
    ArrayRef x = arg_array(a[0], "a");
    const std::uint64_t max_iter = a[1] ? arg_u64(a[1], "max_iter") : 1000;
    const double tol = a[2] ? arg_f64(a[2], "tol") : 1e-10;
    return pair_result(unwrap(eig_with_params(*x, max_iter, tol)));
}

PyObject* eigvals_body(PyObject*, const BoundArgs& a) { return wrap_array(unwrap(eigvals(*arg_array(a[0], "a")))); }

const Signature sig_matmul{"matmul", {"a", "b"}, 2}, sig_dot{"dot", {"a", "b"}, 2};
const Signature sig_transpose{"transpose", {"a"}, 1}, sig_cholesky{"cholesky", {"a"}, 1}, sig_qr{"qr", {"a"}, 1};
const Signature sig_eig{"eig", {"a"}, 1}, sig_eigvals{"eigvals", {"a"}, 1};
const Signature sig_eig_with_params{"eig_with_params", {"a", "max_iter", "tol"}, 1};
const Signature sig_diagonal{"diagonal", {"a", "k"}, 1}, sig_outer{"outer", {"a", "b"}, 2};
const Signature sig_array_outer{"Array.outer", {"a", "b"}, 2};
const Signature sig_array_matmul{"Array.matmul", {"other"}, 1}, sig_array_dot{"Array.dot", {"other"}, 1};
const Signature sig_array_transpose{"Array.transpose", {}, 0}, sig_array_t{"Array.t", {}, 0};
const Signature sig_array_diagonal{"Array.diagonal", {"k"}, 0};

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
    {"matmul", KESTRUM_ENTRY(sig_matmul, product_body), KESTRUM_ENTRY_FLAGS, "matmul(a, b)\n--\n\n"},
    {"dot", KESTRUM_ENTRY(sig_dot, product_body), KESTRUM_ENTRY_FLAGS, "dot(a, b)\n--\n\n"},
    {"transpose", KESTRUM_ENTRY(sig_transpose, transpose_body), KESTRUM_ENTRY_FLAGS, "transpose(a)\n--\n\n"},
    {"cholesky", KESTRUM_ENTRY(sig_cholesky, cholesky_body), KESTRUM_ENTRY_FLAGS, "cholesky(a)\n--\n\n"},
    {"qr", KESTRUM_ENTRY(sig_qr, qr_body), KESTRUM_ENTRY_FLAGS, "qr(a)\n--\n\n"},
    {"eig", KESTRUM_ENTRY(sig_eig, eig_body), KESTRUM_ENTRY_FLAGS, "eig(a)\n--\n\n"},
    {"eig_with_params", KESTRUM_ENTRY(sig_eig_with_params, eig_with_params_body), KESTRUM_ENTRY_FLAGS,
     "eig_with_params(a, max_iter=1000, tol=1e-10)\n--\n\n"},
    {"eigvals", KESTRUM_ENTRY(sig_eigvals, eigvals_body), KESTRUM_ENTRY_FLAGS, "eigvals(a)\n--\n\n"},
    {"diagonal", KESTRUM_ENTRY(sig_diagonal, diagonal_body), KESTRUM_ENTRY_FLAGS, "diagonal(a, k=None)\n--\n\n"},
    {"outer", KESTRUM_ENTRY(sig_outer, outer_body), KESTRUM_ENTRY_FLAGS, "outer(a, b)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef linalg_array_methods[] = {
    {"outer", KESTRUM_ENTRY(sig_array_outer, outer_body), KESTRUM_ENTRY_FLAGS | METH_STATIC, "outer(a, b)\n--\n\n"},
    {"matmul", KESTRUM_ENTRY(sig_array_matmul, method_product_body), KESTRUM_ENTRY_FLAGS,
     "matmul($self, other)\n--\n\n"},
    {"dot", KESTRUM_ENTRY(sig_array_dot, method_product_body), KESTRUM_ENTRY_FLAGS, "dot($self, other)\n--\n\n"},
    {"transpose", KESTRUM_ENTRY(sig_array_transpose, method_transpose_body), KESTRUM_ENTRY_FLAGS,
     "transpose($self)\n--\n\n"},
    {"t", KESTRUM_ENTRY(sig_array_t, method_transpose_body), KESTRUM_ENTRY_FLAGS, "t($self)\n--\n\n"},
    {"diagonal", KESTRUM_ENTRY(sig_array_diagonal, method_diagonal_body), KESTRUM_ENTRY_FLAGS,
     "diagonal($self, k=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrum::py
