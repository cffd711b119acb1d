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

PyObject* cholesky_body(PyObject*, const BoundArgs& a) { return wrap_array(unwrap(cholesky(*arg_array(a[0], "a")))); }

PyObject* eig_body(PyObject*, const BoundArgs& a) {
    return pair_result(unwrap(eig_with_params(*arg_array(a[0], "a"), kEigMaxIter, kEigTol)));
}

// An explicit None is converted (and refused) like any other value: only absence selects the default.
PyObject* eig_with_params_body(PyObject*, const BoundArgs& a) {
    ArrayRef x = arg_array(a[0], "a");
    const std::uint64_t max_iter = a[1] ? arg_u64(a[1], "max_iter") : kEigMaxIter;
    const double tol = a[2] ? arg_f64(a[2], "tol") : kEigTol;
    return pair_result(unwrap(eig_with_params(*x, max_iter, tol)));
}

PyObject* eigvals_body(PyObject*, const BoundArgs& a) { return wrap_array(unwrap(eigvals(*arg_array(a[0], "a")))); }

Entry matmul_entry{"matmul", Kind::function, nullptr, {required("a"), required("b")}, product_body};
Entry dot_entry{"dot", Kind::function, nullptr, {required("a"), required("b")}, product_body};
Entry transpose_entry{"transpose", Kind::function, nullptr, {required("a")}, transpose_body};
Entry cholesky_entry{"cholesky", Kind::function, nullptr, {required("a")}, cholesky_body};
Entry qr_entry{"qr", Kind::function, nullptr, {required("a")}, qr_body};
Entry eig_entry{"eig", Kind::function, nullptr, {required("a")}, eig_body};
Entry eig_with_params_entry{"eig_with_params",
                            Kind::function,
                            nullptr,
                            {required("a"), defaulted("max_iter", kEigMaxIter), defaulted("tol", kEigTol)},
                            eig_with_params_body};
Entry eigvals_entry{"eigvals", Kind::function, nullptr, {required("a")}, eigvals_body};
Entry diagonal_entry{"diagonal", Kind::function, nullptr, {required("a"), optional("k")}, diagonal_body};
Entry outer_entry{"outer", Kind::function, "Array", {required("a"), required("b")}, outer_body};

Entry array_matmul_entry{"matmul", Kind::method, "Array", {required("other")}, method_product_body};
Entry array_dot_entry{"dot", Kind::method, "Array", {required("other")}, method_product_body};
Entry array_transpose_entry{"transpose", Kind::method, "Array", {}, method_transpose_body};
Entry array_t_entry{"t", Kind::method, "Array", {}, method_transpose_body};
Entry array_diagonal_entry{"diagonal", Kind::method, "Array", {optional("k")}, method_diagonal_body};

constexpr Member function_rows[] = {
    member<matmul_entry>,   member<dot_entry>,   member<transpose_entry>,       member<cholesky_entry>,
    member<qr_entry>,       member<eig_entry>,   member<eig_with_params_entry>, member<eigvals_entry>,
    member<diagonal_entry>, member<outer_entry>,
};

constexpr Member array_rows[] = {
    twin<outer_entry>,     member<array_matmul_entry>,   member<array_dot_entry>, member<array_transpose_entry>,
    member<array_t_entry>, member<array_diagonal_entry>,
};

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

constinit const std::span<const Member> linalg_functions = function_rows;
constinit const std::span<const Member> linalg_array_methods = array_rows;

}  // namespace kestrum::py
