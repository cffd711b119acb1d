// Array indexing: reads and writes by integer, tuple and slice, membership, get and take.
#include <optional>
#include <span>
#include <vector>

#include "ops/indexing.hpp"
#include "python/args.hpp"
#include "python/array_parts.hpp"

namespace kestrum::py {

namespace {

// The position addressed by the items of a tuple key, one per leading dimension: each item is
// converted (the conversion's own error) and normalised against its dimension.
std::vector<std::uint64_t> tuple_position(const ArrayF64& a, PyObject* key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(key);
    std::vector<std::uint64_t> pos(static_cast<std::size_t>(n));
    for (Py_ssize_t j = 0; j < n; ++j) {
        const std::int64_t i = to_i64(PyTuple_GET_ITEM(key, j));
        pos[j] = unwrap(indexing::normalize(i, a.shape.dims[j], static_cast<std::size_t>(j)));
    }
    return pos;
}

// A signed integer key, or nothing (the conversion error is discarded).
std::optional<std::int64_t> integer_key(PyObject* key) {
    return attempt(Fallback::on_ordinary_error, [&] { return to_i64(key); });
}

PyObject* read_tuple(const ArrayF64& a, PyObject* key) {
    const std::size_t given = static_cast<std::size_t>(PyTuple_GET_SIZE(key));
    if (given > a.ndim())
        raise(PyExc_ValueError, "too many indices for array: array is " + std::to_string(a.ndim()) +
                                    "-dimensional, but " + std::to_string(given) + " were indexed");
    const std::vector<std::uint64_t> pos = tuple_position(a, key);
    if (given < a.ndim()) return wrap_array(indexing::block(a, pos));
    const double* x = a.get(pos);
    if (!x) raise(PyExc_ValueError, "index out of bounds");
    return float_result(*x);
}

PyObject* read_integer(const ArrayF64& a, std::int64_t i) {
    if (a.ndim() == 0) panic_bounds(0, 0);
    const std::uint64_t row = unwrap(indexing::normalize(i, a.shape.dims[0], 0));
    if (a.ndim() == 1) return float_result(a.data.at(row));
    return wrap_array(indexing::block(a, std::span<const std::uint64_t>(&row, 1)));
}

PyObject* read_slice(const ArrayF64& a, PyObject* key) {
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) raise_current();
    PySlice_AdjustIndices(static_cast<Py_ssize_t>(a.size()), &start, &stop, step);
    return wrap_array(indexing::slice_flat(a, start, stop, step));
}

PyObject* subscript_slot(PyObject* self, PyObject* key) {
    return guarded([&] {
        ArrayRef a(self);
        if (PyTuple_Check(key)) return read_tuple(*a, key);
        if (const std::optional<std::int64_t> i = integer_key(key)) return read_integer(*a, *i);
        if (Py_IS_TYPE(key, &PySlice_Type)) return read_slice(*a, key);
        raise(PyExc_ValueError, "indices must be integers, slices, or tuples of integers");
    });
}

PyObject* item_slot(PyObject* self, Py_ssize_t i) {
    return guarded([&] {
        ArrayRef a(self);
        return read_integer(*a, i);
    });
}

// The element a write addresses; `key` is a tuple or an integer.
double& write_target(ArrayF64& a, PyObject* key) {
    if (PyTuple_Check(key)) {
        const std::size_t given = static_cast<std::size_t>(PyTuple_GET_SIZE(key));
        if (given != a.ndim())
            raise(PyExc_ValueError,
                  "cannot set item: expected " + std::to_string(a.ndim()) + " indices, got " + std::to_string(given));
        double* x = a.get_mut(tuple_position(a, key));
        if (!x) raise(PyExc_ValueError, "index out of bounds");
        return *x;
    }
    const std::optional<std::int64_t> i = integer_key(key);
    if (!i) raise(PyExc_ValueError, "indices must be integers or tuples of integers for assignment");
    if (a.ndim() != 1)
        raise(PyExc_ValueError,
              "single index assignment only supported for 1D arrays; use tuple indexing for nD arrays");
    return a.data.at(unwrap(indexing::normalize(*i, a.shape.dims[0], 0)));
}

int assign(PyObject* self, PyObject* key, PyObject* value) {
    return guarded_status([&] {
        if (!value) raise(PyExc_NotImplementedError, "can't delete item");
        // Taken before the value is converted: a __float__ that reaches this array fails with
        // RuntimeError instead of observing or changing it mid-write.
        ExclusiveBorrow guard(box<ArrayF64>(self)->borrow);
        const double x = arg_f64(value, "value");
        write_target(box<ArrayF64>(self)->value, key) = x;
        return 0;
    });
}

int ass_subscript_slot(PyObject* self, PyObject* key, PyObject* value) { return assign(self, key, value); }

int ass_item_slot(PyObject* self, Py_ssize_t i, PyObject* value) {
    Ref key(PyLong_FromSsize_t(i));
    if (!key) return -1;
    return assign(self, key.get(), value);
}

int contains_slot(PyObject* self, PyObject* x) {
    return guarded_status([&] {
        ArrayRef a(self);
        return indexing::contains(*a, arg_f64(x, "value")) ? 1 : 0;
    });
}

PyObject* get_body(PyObject* self, const BoundArgs& args) {
    ArrayRef a(self);
    const std::vector<std::uint64_t> indices = arg_u64_list(args[0], "indices");
    return float_result(unwrap(indexing::get(*a, indices)));
}

PyObject* take_body(PyObject* self, const BoundArgs& args) {
    ArrayRef a(self);
    const std::vector<std::uint64_t> indices = arg_u64_list(args[0], "indices");
    return wrap_array(a->take(indices));
}

Entry get_entry{"get", Kind::method, "Array", {required("indices")}, get_body};
Entry take_entry{"take", Kind::method, "Array", {required("indices")}, take_body};

constexpr Member rows[] = {member<get_entry>, member<take_entry>};

const PyType_Slot slots[] = {
    {Py_mp_subscript, reinterpret_cast<void*>(subscript_slot)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(ass_subscript_slot)},
    // Item slots make PySequence_Check accept arrays. There is deliberately no sequence length
    // slot: with one, the interpreter would rewrite negative indices itself.
    {Py_sq_item, reinterpret_cast<void*>(item_slot)},
    {Py_sq_ass_item, reinterpret_cast<void*>(ass_item_slot)},
    {Py_sq_contains, reinterpret_cast<void*>(contains_slot)},
};

}  // namespace

constinit const ClassPart array_indexing{rows, slots};

}  // namespace kestrum::py
