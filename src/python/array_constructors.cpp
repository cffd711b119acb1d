// Array construction: the constructor, asarray, zeros, ones, full, eye, diag, column_stack.
#include <optional>
#include <vector>

#include "array/constructors.hpp"
#include "array/format.hpp"
#include "python/areas.hpp"
#include "python/args.hpp"
#include "python/array_parts.hpp"

namespace kestrum::py {

namespace {

// "Data length {n} doesn't match shape {shape} (expected {size})"
ArrayF64 array_from_parts(std::vector<std::uint64_t> dims, Buffer<double> data) {
    Shape shape(std::move(dims));
    const std::uint64_t size = shape.size();
    if (size != data.size())
        raise(PyExc_ValueError, "Data length " + std::to_string(data.size()) + " doesn't match shape " +
                                    format_dims(shape.dims) + " (expected " + std::to_string(size) + ")");
    return ArrayF64::create(std::move(shape), std::move(data));
}

PyObject* array_new_body(PyObject*, const BoundArgs& a) {
    auto dims = arg_u64_list(a[0], "shape");
    auto data = arg_f64_list(a[1], "data");
    return wrap_array(array_from_parts(std::move(dims), std::move(data)));
}

PyObject* asarray_body(PyObject*, const BoundArgs& a) {
    VecOrArray data = arg_vec_or_array(a[0], "data");
    std::optional<std::vector<std::uint64_t>> dims;
    if (a.present(1)) dims = arg_u64_list(a[1], "shape");
    Buffer<double> flat = std::holds_alternative<ArrayF64>(data) ? std::move(std::get<ArrayF64>(data).data)
                                                                 : std::move(std::get<Buffer<double>>(data));
    if (!dims) dims = std::vector<std::uint64_t>{flat.size()};
    return wrap_array(array_from_parts(std::move(*dims), std::move(flat)));
}

PyObject* zeros_body(PyObject*, const BoundArgs& a) { return wrap_array(ArrayF64::zeros(arg_shape(a[0]))); }

PyObject* ones_body(PyObject*, const BoundArgs& a) { return wrap_array(ones(arg_shape(a[0]))); }

PyObject* full_body(PyObject*, const BoundArgs& a) {
    Shape shape = arg_shape(a[0]);
    const double fill_value = arg_f64(a[1], "fill_value");
    return wrap_array(full(std::move(shape), fill_value));
}

PyObject* eye_body(PyObject*, const BoundArgs& a) {
    const std::uint64_t n = arg_u64(a[0], "n");
    const std::optional<std::uint64_t> m = arg_opt_u64(a[1], "m");
    const std::int64_t k = arg_opt_i64(a[2], "k").value_or(0);
    return wrap_array(eye(n, m, k));
}

PyObject* diag_body(PyObject*, const BoundArgs& a) {
    ArrayF64 v = as_ndarray(arg_vec_or_array(a[0], "v"));
    const std::int64_t k = arg_opt_i64(a[1], "k").value_or(0);
    return wrap_array(from_diag(v, k));
}

PyObject* column_stack_body(PyObject*, const BoundArgs& a) {
    std::vector<ArrayF64> arrays = arg_array_list(a[0], "arrays");
    if (arrays.empty()) raise(PyExc_ValueError, "Need at least one array");
    std::vector<const ArrayF64*> refs;
    refs.reserve(arrays.size());
    for (const ArrayF64& x : arrays) refs.push_back(&x);
    return wrap_array(column_stack(refs));
}

Entry asarray_entry{"asarray", Kind::function, "Array", {required("data"), optional("shape")}, asarray_body};
Entry zeros_entry{"zeros", Kind::function, "Array", {required("shape")}, zeros_body};
Entry ones_entry{"ones", Kind::function, "Array", {required("shape")}, ones_body};
Entry full_entry{"full", Kind::function, "Array", {required("shape"), required("fill_value")}, full_body};
Entry eye_entry{"eye", Kind::function, "Array", {required("n"), optional("m"), optional("k")}, eye_body};
Entry diag_entry{"diag", Kind::function, "Array", {required("v"), optional("k")}, diag_body};
Entry column_stack_entry{"column_stack", Kind::function, nullptr, {required("arrays")}, column_stack_body};

constexpr Member class_rows[] = {
    twin<asarray_entry>, twin<zeros_entry>, twin<ones_entry>, twin<full_entry>, twin<eye_entry>, twin<diag_entry>,
};

constexpr Member module_rows[] = {
    member<zeros_entry>, member<ones_entry>, member<full_entry>,         member<asarray_entry>,
    member<eye_entry>,   member<diag_entry>, member<column_stack_entry>,
};

}  // namespace

Entry array_new_entry{"__new__", Kind::constructor, "Array", {required("shape"), required("data")}, array_new_body};

constinit const ClassPart array_constructors{class_rows, {}};
constinit const std::span<const Member> array_module_functions = module_rows;

}  // namespace kestrum::py
