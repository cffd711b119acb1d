// The Array class, its iterator and the array module functions.
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "array/constructors.hpp"
#include "array/format.hpp"
#include "ops/arithmetic.hpp"
#include "ops/elementwise.hpp"
#include "ops/indexing.hpp"
#include "ops/scalar.hpp"
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
        static const Signature sig{"Array.__new__", {"shape", "data"}, 2};
        BoundArgs a = bind_tuple(sig, args, kwargs);
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

// ---- constructors -----------------------------------------------------------------------------

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

const Signature sig_zeros{"zeros", {"shape"}, 1}, sig_zeros_static{"Array.zeros", {"shape"}, 1};
const Signature sig_ones{"ones", {"shape"}, 1}, sig_ones_static{"Array.ones", {"shape"}, 1};
const Signature sig_full{"full", {"shape", "fill_value"}, 2},
    sig_full_static{"Array.full", {"shape", "fill_value"}, 2};
const Signature sig_eye{"eye", {"n", "m", "k"}, 1}, sig_eye_static{"Array.eye", {"n", "m", "k"}, 1};
const Signature sig_diag{"diag", {"v", "k"}, 1}, sig_diag_static{"Array.diag", {"v", "k"}, 1};
const Signature sig_column_stack{"column_stack", {"arrays"}, 1};

// ---- arithmetic operators ---------------------------------------------------------------------

// A float64 by the number rule, or nothing (the conversion error is discarded).
std::optional<double> number_or_nothing(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double x = PyFloat_AsDouble(o);
    if (x == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return x;
}

// `array op right`: another Array (broadcast) or a number; nothing when `right` is neither.
template <class Op>
PyObject* forward_op(PyObject* left, PyObject* right) {
    ArrayRef a(left);
    if (is_array(right)) {
        // Read in place: the result cannot differ from operating on a copy, as no Python code
        // runs while both are borrowed. A right operand being written (exclusively borrowed)
        // fails its conversion like any other unsupported operand.
        if (as_py(right)->borrow.state < 0) return nullptr;
        ArrayRef b(right);
        return wrap_array(binary_op_copy<Op>(*a, *b));
    }
    const std::optional<double> s = number_or_nothing(right);
    if (!s) return nullptr;
    return wrap_array(scalar_op_copy<Op>(*a, *s));
}

// `number op array` (the reflected form); nothing when `left` is not a number.
template <class Op>
PyObject* reflected_op(PyObject* left, PyObject* right) {
    ArrayRef b(right);
    const std::optional<double> s = is_array(left) ? std::nullopt : number_or_nothing(left);
    if (!s) return nullptr;
    return wrap_array(scalar_left_op_copy<Op>(*s, *b));
}

template <class Op>
PyObject* arithmetic_slot(PyObject* left, PyObject* right) {
    return guarded([&]() -> PyObject* {
        if (is_array(left))
            if (PyObject* r = forward_op<Op>(left, right)) return r;
        if (is_array(right))
            if (PyObject* r = reflected_op<Op>(left, right)) return r;
        Py_RETURN_NOTIMPLEMENTED;
    });
}

PyObject* negative_slot(PyObject* self) {
    return guarded([&] {
        ArrayRef a(self);
        return wrap_array(elementwise::negate(*a));
    });
}

// ---- element-wise math ------------------------------------------------------------------------

template <ArrayF64 (*F)(const ArrayF64&)>
PyObject* math_body(PyObject* self, const BoundArgs&) {
    ArrayRef a(self);
    return wrap_array(F(*a));
}

PyObject* clip_body(PyObject* self, const BoundArgs& args) {
    ArrayRef a(self);
    const double min = arg_f64(args[0], "min");
    const double max = arg_f64(args[1], "max");
    return wrap_array(elementwise::clip(*a, min, max));
}

#define KESTRUM_MATH_SIG(name) const Signature sig_##name{"Array." #name, {}, 0};
KESTRUM_MATH_SIG(abs)
KESTRUM_MATH_SIG(sign)
KESTRUM_MATH_SIG(sqrt)
KESTRUM_MATH_SIG(exp)
KESTRUM_MATH_SIG(log)
KESTRUM_MATH_SIG(sin)
KESTRUM_MATH_SIG(cos)
KESTRUM_MATH_SIG(tan)
KESTRUM_MATH_SIG(arcsin)
KESTRUM_MATH_SIG(arccos)
KESTRUM_MATH_SIG(arctan)
#undef KESTRUM_MATH_SIG
const Signature sig_clip{"Array.clip", {"min", "max"}, 2};

// ---- indexing ---------------------------------------------------------------------------------

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
    const long long v = PyLong_AsLongLong(key);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
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
            raise(PyExc_ValueError, "cannot set item: expected " + std::to_string(a.ndim()) + " indices, got " +
                                        std::to_string(given));
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
        ExclusiveBorrow guard(as_py(self)->borrow);
        const double x = arg_f64(value, "value");
        write_target(as_py(self)->value, key) = x;
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

const Signature sig_get{"Array.get", {"indices"}, 1};
const Signature sig_take{"Array.take", {"indices"}, 1};

// ---- nested lists -----------------------------------------------------------------------------

// n floats read from `src`, which the caller has checked to lie inside the storage.
PyObject* float_list(const double* src, std::uint64_t n) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(n))));
    for (std::uint64_t i = 0; i < n; ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(src[i])));
    return list.release();
}

// Flat position offset + i * stride, or a panic when it cannot be represented.
std::uint64_t offset_of(std::uint64_t offset, std::uint64_t i, std::uint64_t stride) {
    std::uint64_t step, pos;
    if (__builtin_mul_overflow(i, stride, &step) || __builtin_add_overflow(offset, step, &pos))
        panic("attempt to add with overflow");
    return pos;
}

// A new list for n items: presized when the caller fills every slot, empty when it appends.
PyObject* new_list(std::uint64_t n, bool presized) {
    // The interpreter refuses such lengths as out of memory, but only below PY_SSIZE_T_MAX.
    if (presized && n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        throw PyErrSet{};
    }
    return check(PyList_New(presized ? static_cast<Py_ssize_t>(n) : 0));
}

// One list under construction: the dimension it spans and the next item to build.
struct ListFrame {
    Ref list;
    std::size_t dim;
    std::uint64_t n, stride, offset, next;
    bool presized;  // no read below can fail: the block lies inside the storage or is empty
};

// Nested lists of the sub-array whose first element sits at flat `offset` and whose dimensions
// are dims[dim..]. Reads are checked one by one; the first one outside the storage panics. The
// nesting is as deep as the array has dimensions, which can be any number, so the levels live
// on an explicit stack rather than the C stack.
PyObject* pylist_recursive(const ArrayF64& a, std::size_t dim, std::uint64_t offset) {
    if (dim >= a.ndim()) panic_unwrap_none();
    std::vector<ListFrame> stack;
    // Starts the list of dims[d] items at `at`; a fully readable last dimension is built at once.
    const auto open = [&](std::size_t d, std::uint64_t at) -> PyObject* {
        const std::uint64_t n = a.shape.dims[d], stride = a.strides[d];
        std::uint64_t extent, end;
        const bool inside = !__builtin_mul_overflow(n, stride, &extent) && !__builtin_add_overflow(at, extent, &end) &&
                            end <= a.size();
        if (inside && d + 1 == a.ndim()) return float_list(a.data.data() + at, n);
        // A zero stride means empty sub-blocks: no item reads the storage, so none can fail.
        const bool presized = inside || stride == 0;
        stack.push_back(ListFrame{Ref(new_list(n, presized)), d, n, stride, at, 0, presized});
        return nullptr;
    };
    PyObject* done = open(dim, offset);
    for (;;) {
        if (stack.empty()) return done;
        ListFrame& top = stack.back();
        if (done) {
            Ref item(done);
            done = nullptr;
            if (top.presized) PyList_SET_ITEM(top.list.get(), static_cast<Py_ssize_t>(top.next), item.release());
            else if (PyList_Append(top.list.get(), item.get()) < 0) raise_current();
            ++top.next;
        }
        if (top.next == top.n) {
            done = top.list.release();
            stack.pop_back();
            continue;
        }
        // Items are built in order and the first failure ends the call; an appended list grows
        // as they succeed, so a huge dimension over missing storage fails on its first read.
        const std::uint64_t pos =
            top.presized ? top.offset + top.next * top.stride : offset_of(top.offset, top.next, top.stride);
        if (top.dim + 1 == a.ndim()) done = check(PyFloat_FromDouble(a.data.at(pos)));
        else done = open(top.dim + 1, pos);  // may grow the stack: `top` is not used after this
    }
}

PyObject* tolist_body(PyObject* self, const BoundArgs&) {
    ArrayRef a(self);
    if (a->ndim() == 0) return float_result(a->data.at(0));
    return pylist_recursive(*a, 0, 0);
}

PyObject* to_pylist_recursive_body(PyObject* self, const BoundArgs& args) {
    ArrayRef a(self);
    const std::uint64_t dim = arg_u64(args[0], "dim");
    const std::uint64_t offset = arg_u64(args[1], "offset");
    if (dim >= a->ndim()) panic_unwrap_none();
    return pylist_recursive(*a, static_cast<std::size_t>(dim), offset);
}

const Signature sig_tolist{"Array.tolist", {}, 0};
const Signature sig_to_pylist_recursive{"Array.to_pylist_recursive", {"dim", "offset"}, 2};

// ---- iteration --------------------------------------------------------------------------------

struct PyArrayIter {
    PyObject_HEAD
    BorrowFlag borrow;
    Buffer<double> data;  // the array's elements when the iterator was made
    std::size_t position;
};

PyObject* iter_slot(PyObject* self) {
    return guarded([&] {
        Buffer<double> copy;
        {
            ArrayRef a(self);
            copy = a->data;
        }
        PyTypeObject* type = array_iter_type();
        PyObject* obj = check(type->tp_alloc(type, 0));
        auto* it = reinterpret_cast<PyArrayIter*>(obj);
        it->borrow = BorrowFlag{};
        new (&it->data) Buffer<double>(std::move(copy));
        it->position = 0;
        return obj;
    });
}

PyObject* iter_next_slot(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto* it = reinterpret_cast<PyArrayIter*>(self);
        ExclusiveBorrow guard(it->borrow);
        if (it->position >= it->data.size()) return nullptr;  // exhausted: StopIteration
        return float_result(it->data[it->position++]);
    });
}

void iter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PyArrayIter*>(self)->data.~Buffer<double>();
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- NumPy bridge -----------------------------------------------------------------------------
// NumPy is optional: it is imported on the first conversion and only its Python-level interface
// is used (the buffer protocol and the ndarray constructor), so nothing here needs its headers.

struct NumpyApi {
    PyObject* ndarray = nullptr;  // the numpy.ndarray type
    PyObject* float64 = nullptr;  // numpy.dtype("float64")
};

const NumpyApi& numpy_api() {
    static NumpyApi api;
    if (api.ndarray) return api;
    Ref module(PyImport_ImportModule("numpy"));
    Ref ndarray, float64;
    if (module) ndarray = Ref(PyObject_GetAttrString(module.get(), "ndarray"));
    if (ndarray) {
        Ref dtype(PyObject_GetAttrString(module.get(), "dtype"));
        if (dtype) float64 = Ref(PyObject_CallFunction(dtype.get(), "s", "float64"));
    }
    if (!float64) {
        std::string reason = "unknown error";
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (value) reason = describe_chain(value);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        panic("Failed to access NumPy array API capsule: " + reason);
    }
    api.ndarray = ndarray.release();  // kept for the life of the process
    api.float64 = float64.release();
    return api;
}

// Owns the memory of a NumPy array made by to_numpy and exposes it as a writable buffer; the
// NumPy array keeps it as its base.
struct NumpyStorage {
    PyObject_HEAD
    Buffer<double> data;
};

int storage_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* s = reinterpret_cast<NumpyStorage*>(self);
    static double empty;  // a valid address for zero-length storage
    void* p = s->data.size() ? s->data.data() : &empty;
    return PyBuffer_FillInfo(view, self, p, static_cast<Py_ssize_t>(s->data.size() * sizeof(double)), 0, flags);
}

void storage_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<NumpyStorage*>(self)->data.~Buffer<double>();
    type->tp_free(self);
    Py_DECREF(type);
}

PyTypeObject* numpy_storage_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(storage_dealloc)},
            {Py_bf_getbuffer, reinterpret_cast<void*>(storage_getbuffer)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"kestrum.NumpyStorage", sizeof(NumpyStorage), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        return make_type(&spec);
    }();
    return type;
}

PyObject* to_numpy_body(PyObject* self, const BoundArgs&) {
    const NumpyApi& np = numpy_api();
    PyTypeObject* storage_type = numpy_storage_type();
    if (!storage_type) raise_current();
    Ref storage(check(storage_type->tp_alloc(storage_type, 0)));
    Ref shape;
    {
        ArrayRef a(self);
        new (&reinterpret_cast<NumpyStorage*>(storage.get())->data) Buffer<double>(a->data);
        const auto& dims = a->shape.dims;
        shape = Ref(check(PyTuple_New(static_cast<Py_ssize_t>(dims.size()))));
        for (std::size_t i = 0; i < dims.size(); ++i)
            PyTuple_SET_ITEM(shape.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromUnsignedLongLong(dims[i])));
    }
    return check(PyObject_CallFunctionObjArgs(np.ndarray, shape.get(), np.float64, storage.get(), nullptr));
}

// Releases a Py_buffer on every exit path.
struct BufferView {
    Py_buffer view{};
    bool held = false;
    ~BufferView() {
        if (held) PyBuffer_Release(&view);
    }
};

// Copies a strided float64 buffer into row-major order: an odometer over the outer dimensions,
// a strided run along the last one.
void copy_c_order(const Py_buffer& v, double* dst) {
    const int nd = v.ndim;
    const std::size_t total = static_cast<std::size_t>(v.len / static_cast<Py_ssize_t>(sizeof(double)));
    if (total == 0) return;
    if (nd == 0) {
        std::memcpy(dst, v.buf, sizeof(double));
        return;
    }
    const Py_ssize_t run = v.shape[nd - 1], step = v.strides[nd - 1];
    std::vector<Py_ssize_t> index(static_cast<std::size_t>(nd - 1), 0);
    const char* base = static_cast<const char*>(v.buf);
    Py_ssize_t offset = 0;
    for (std::size_t k = 0; k < total; k += static_cast<std::size_t>(run)) {
        const char* src = base + offset;
        for (Py_ssize_t j = 0; j < run; ++j, src += step) std::memcpy(dst + k + j, src, sizeof(double));
        for (int d = nd - 1; d-- > 0;) {
            offset += v.strides[d];
            if (++index[d] < v.shape[d]) break;
            offset -= v.strides[d] * v.shape[d];
            index[d] = 0;
        }
    }
}

PyObject* from_numpy_body(PyObject*, const BoundArgs& args) {
    const NumpyApi& np = numpy_api();
    PyObject* arr = args[0];
    const int is_ndarray = PyObject_IsInstance(arr, np.ndarray);
    if (is_ndarray < 0) raise_current();
    if (!is_ndarray)
        with_argument("arr", [&] {
            raise(PyExc_TypeError, std::string("'") + _PyType_Name(Py_TYPE(arr)) + "' object is not a NumPy array");
        });
    Ref dtype(check(PyObject_GetAttrString(arr, "dtype")));
    const int is_float64 = PyObject_RichCompareBool(dtype.get(), np.float64, Py_EQ);
    if (is_float64 < 0) raise_current();
    if (!is_float64) {
        Ref text(check(PyObject_Str(dtype.get())));
        const char* name = PyUnicode_AsUTF8(text.get());
        if (!name) raise_current();
        with_argument("arr", [&] {
            raise(PyExc_TypeError, std::string("expected a NumPy array of dtype float64, got ") + name);
        });
    }
    BufferView buf;
    if (PyObject_GetBuffer(arr, &buf.view, PyBUF_RECORDS_RO) < 0) raise_current();
    buf.held = true;
    const Py_buffer& v = buf.view;
    if (v.itemsize != sizeof(double)) raise(PyExc_TypeError, "argument 'arr': unexpected element size");
    const bool c_order = PyBuffer_IsContiguous(&v, 'C');
    if (!c_order && !PyBuffer_IsContiguous(&v, 'F')) raise(PyExc_TypeError, "The given array is not contiguous");
    std::vector<std::uint64_t> dims(static_cast<std::size_t>(v.ndim));
    for (int d = 0; d < v.ndim; ++d) dims[d] = static_cast<std::uint64_t>(v.shape[d]);
    Shape shape(std::move(dims));
    Buffer<double> data = Buffer<double>::uninit(shape.size());
    if (c_order) {
        if (data.size()) std::memcpy(data.data(), v.buf, data.size() * sizeof(double));
    } else {
        copy_c_order(v, data.data());
    }
    return wrap_array(ArrayF64::create(std::move(shape), std::move(data)));
}

const Signature sig_to_numpy{"Array.to_numpy", {}, 0};
const Signature sig_from_numpy{"Array.from_numpy", {"arr"}, 1};

// ---- type -------------------------------------------------------------------------------------

#define KESTRUM_MATH(name)                                                                  \
    {#name, KESTRUM_ENTRY(sig_##name, math_body<elementwise::name>), KESTRUM_ENTRY_FLAGS, \
     #name "($self)\n--\n\n"}

PyMethodDef array_own_methods[] = {
    {"asarray", KESTRUM_FASTCALL(asarray_static), KESTRUM_ENTRY_FLAGS | METH_STATIC, "asarray(data, shape=None)\n--\n\n"},
    {"zeros", KESTRUM_ENTRY(sig_zeros_static, zeros_body), KESTRUM_ENTRY_FLAGS | METH_STATIC, "zeros(shape)\n--\n\n"},
    {"ones", KESTRUM_ENTRY(sig_ones_static, ones_body), KESTRUM_ENTRY_FLAGS | METH_STATIC, "ones(shape)\n--\n\n"},
    {"full", KESTRUM_ENTRY(sig_full_static, full_body), KESTRUM_ENTRY_FLAGS | METH_STATIC, "full(shape, fill_value)\n--\n\n"},
    {"eye", KESTRUM_ENTRY(sig_eye_static, eye_body), KESTRUM_ENTRY_FLAGS | METH_STATIC, "eye(n, m=None, k=None)\n--\n\n"},
    {"diag", KESTRUM_ENTRY(sig_diag_static, diag_body), KESTRUM_ENTRY_FLAGS | METH_STATIC, "diag(v, k=None)\n--\n\n"},
    KESTRUM_MATH(abs),
    KESTRUM_MATH(sign),
    KESTRUM_MATH(sqrt),
    KESTRUM_MATH(exp),
    KESTRUM_MATH(log),
    KESTRUM_MATH(sin),
    KESTRUM_MATH(cos),
    KESTRUM_MATH(tan),
    KESTRUM_MATH(arcsin),
    KESTRUM_MATH(arccos),
    KESTRUM_MATH(arctan),
    {"clip", KESTRUM_ENTRY(sig_clip, clip_body), KESTRUM_ENTRY_FLAGS, "clip($self, min, max)\n--\n\n"},
    {"get", KESTRUM_ENTRY(sig_get, get_body), KESTRUM_ENTRY_FLAGS, "get($self, indices)\n--\n\n"},
    {"take", KESTRUM_ENTRY(sig_take, take_body), KESTRUM_ENTRY_FLAGS, "take($self, indices)\n--\n\n"},
    {"tolist", KESTRUM_ENTRY(sig_tolist, tolist_body), KESTRUM_ENTRY_FLAGS, "tolist($self)\n--\n\n"},
    {"to_pylist_recursive", KESTRUM_ENTRY(sig_to_pylist_recursive, to_pylist_recursive_body), KESTRUM_ENTRY_FLAGS,
     "to_pylist_recursive($self, dim, offset)\n--\n\n"},
    {"to_numpy", KESTRUM_ENTRY(sig_to_numpy, to_numpy_body), KESTRUM_ENTRY_FLAGS, "to_numpy($self)\n--\n\n"},
    {"from_numpy", KESTRUM_ENTRY(sig_from_numpy, from_numpy_body), KESTRUM_ENTRY_FLAGS | METH_STATIC,
     "from_numpy(arr)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The class's methods: its own, then those the linalg, stats and pickling units contribute.
PyMethodDef* all_array_methods() {
    static PyMethodDef* table =
        joined_methods({array_own_methods, linalg_array_methods, stats_array_methods, array_pickling_methods});
    return table;
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
            {Py_tp_iter, reinterpret_cast<void*>(iter_slot)},
            {Py_mp_length, reinterpret_cast<void*>(array_len)},
            {Py_mp_subscript, reinterpret_cast<void*>(subscript_slot)},
            {Py_mp_ass_subscript, reinterpret_cast<void*>(ass_subscript_slot)},
            // Item slots make PySequence_Check accept arrays. There is deliberately no sequence
            // length slot: with one, the interpreter would rewrite negative indices itself.
            {Py_sq_item, reinterpret_cast<void*>(item_slot)},
            {Py_sq_ass_item, reinterpret_cast<void*>(ass_item_slot)},
            {Py_sq_contains, reinterpret_cast<void*>(contains_slot)},
            {Py_nb_add, reinterpret_cast<void*>(arithmetic_slot<op::Add>)},
            {Py_nb_subtract, reinterpret_cast<void*>(arithmetic_slot<op::Subtract>)},
            {Py_nb_multiply, reinterpret_cast<void*>(arithmetic_slot<op::Multiply>)},
            {Py_nb_true_divide, reinterpret_cast<void*>(arithmetic_slot<op::Divide>)},
            {Py_nb_negative, reinterpret_cast<void*>(negative_slot)},
            {Py_nb_matrix_multiply, reinterpret_cast<void*>(array_matmul_slot)},
            {Py_bf_getbuffer, reinterpret_cast<void*>(array_getbuffer)},
            {Py_bf_releasebuffer, reinterpret_cast<void*>(array_releasebuffer)},
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
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
            {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
            {Py_tp_iternext, reinterpret_cast<void*>(iter_next_slot)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"kestrum.PyArrayIter", sizeof(PyArrayIter), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        return make_type(&spec);
    }();
    return type;
}

PyMethodDef array_module_functions[] = {
    {"zeros", KESTRUM_ENTRY(sig_zeros, zeros_body), KESTRUM_ENTRY_FLAGS, "zeros(shape)\n--\n\n"},
    {"ones", KESTRUM_ENTRY(sig_ones, ones_body), KESTRUM_ENTRY_FLAGS, "ones(shape)\n--\n\n"},
    {"full", KESTRUM_ENTRY(sig_full, full_body), KESTRUM_ENTRY_FLAGS, "full(shape, fill_value)\n--\n\n"},
    {"asarray", KESTRUM_FASTCALL(asarray_function), KESTRUM_ENTRY_FLAGS, "asarray(data, shape=None)\n--\n\n"},
    {"eye", KESTRUM_ENTRY(sig_eye, eye_body), KESTRUM_ENTRY_FLAGS, "eye(n, m=None, k=None)\n--\n\n"},
    {"diag", KESTRUM_ENTRY(sig_diag, diag_body), KESTRUM_ENTRY_FLAGS, "diag(v, k=None)\n--\n\n"},
    {"column_stack", KESTRUM_ENTRY(sig_column_stack, column_stack_body), KESTRUM_ENTRY_FLAGS,
     "column_stack(arrays)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrum::py
