// Array to nested Python lists: tolist and to_pylist_recursive.
#include <vector>

#include "python/args.hpp"
#include "python/array_parts.hpp"

namespace kestrum::py {

namespace {

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
PyObject* nested_lists(const ArrayF64& a, std::size_t dim, std::uint64_t offset) {
    if (dim >= a.ndim()) panic_unwrap_none();
    std::vector<ListFrame> stack;
    // Starts the list of dims[d] items at `at`; a fully readable last dimension is built at once.
    const auto open = [&](std::size_t d, std::uint64_t at) -> PyObject* {
        const std::uint64_t n = a.shape.dims[d], stride = a.strides[d];
        std::uint64_t extent, end;
        const bool inside =
            !__builtin_mul_overflow(n, stride, &extent) && !__builtin_add_overflow(at, extent, &end) && end <= a.size();
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
    return nested_lists(*a, 0, 0);
}

PyObject* to_pylist_recursive_body(PyObject* self, const BoundArgs& args) {
    ArrayRef a(self);
    const std::uint64_t dim = arg_u64(args[0], "dim");
    const std::uint64_t offset = arg_u64(args[1], "offset");
    if (dim >= a->ndim()) panic_unwrap_none();
    return nested_lists(*a, static_cast<std::size_t>(dim), offset);
}

Entry tolist_entry{"tolist", Kind::method, "Array", {}, tolist_body};
Entry to_pylist_recursive_entry{
    "to_pylist_recursive", Kind::method, "Array", {required("dim"), required("offset")}, to_pylist_recursive_body};

constexpr Member rows[] = {member<tolist_entry>, member<to_pylist_recursive_entry>};

}  // namespace

constinit const ClassPart array_lists{rows, {}};

}  // namespace kestrum::py
