// Buffer export of Array: a read-only, C-contiguous float64 view of the array's own storage, so
// memoryview, NumPy and every other buffer reader see the elements without a copy.
//
// Nothing replaces an array's storage after it is made (item assignment writes in place), so an
// export stays valid for as long as it holds its reference to the array, and writes made through
// the array are visible through it, as with a bytearray.
#include "python/areas.hpp"
#include "python/args.hpp"
#include "python/array_parts.hpp"

namespace kestrum::py {

namespace {

// A C-ordered array is Fortran-ordered too when at most one dimension exceeds 1.
bool also_fortran_ordered(const Shape& shape) {
    int long_dims = 0;
    for (const std::uint64_t d : shape.dims) {
        if (d == 0) return true;
        long_dims += d > 1;
    }
    return long_dims <= 1;
}

[[noreturn]] void refuse(const char* message) { raise(PyExc_BufferError, message); }

void fill_view(PyObject* self, Py_buffer* view, int flags) {
    if (flags & PyBUF_WRITABLE) refuse("Array buffers are read-only");
    const ArrayF64& a = box<ArrayF64>(self)->value;
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !also_fortran_ordered(a.shape))
        refuse("Array buffers are C-contiguous");
    const std::size_t ndim = a.ndim();
    if (ndim > 64) refuse("Array has more dimensions than a buffer can describe");
    // Shape then strides in bytes, for as long as the export lives.
    Py_ssize_t* dims = nullptr;
    if (ndim) {
        dims = static_cast<Py_ssize_t*>(PyMem_Malloc(2 * ndim * sizeof(Py_ssize_t)));
        if (!dims) throw std::bad_alloc();
        for (std::size_t d = 0; d < ndim; ++d) {
            std::uint64_t stride_bytes;
            if (a.shape.dims[d] > PY_SSIZE_T_MAX || __builtin_mul_overflow(a.strides[d], 8, &stride_bytes) ||
                stride_bytes > PY_SSIZE_T_MAX) {
                PyMem_Free(dims);
                refuse("Array shape too large for a buffer");
            }
            dims[d] = static_cast<Py_ssize_t>(a.shape.dims[d]);
            dims[ndim + d] = static_cast<Py_ssize_t>(stride_bytes);
        }
    }
    static double empty;  // a valid address for arrays without elements
    view->buf = a.size() ? const_cast<double*>(a.data.data()) : &empty;
    view->len = static_cast<Py_ssize_t>(a.size() * sizeof(double));
    view->readonly = 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("d") : nullptr;
    const bool with_shape = (flags & PyBUF_ND) == PyBUF_ND;
    // A plain request (neither shape nor format) sees flat bytes, as from PyBuffer_FillInfo.
    view->itemsize = with_shape || view->format ? sizeof(double) : 1;
    view->ndim = with_shape ? static_cast<int>(ndim) : 1;
    view->shape = with_shape ? dims : nullptr;
    view->strides = with_shape && (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? dims + ndim : nullptr;
    view->suboffsets = nullptr;
    view->internal = dims;
    Py_INCREF(self);
    view->obj = self;
}

int getbuffer_slot(PyObject* self, Py_buffer* view, int flags) {
    view->obj = nullptr;
    return guarded_status([&] {
        fill_view(self, view, flags);
        return 0;
    });
}

void releasebuffer_slot(PyObject*, Py_buffer* view) { PyMem_Free(view->internal); }

const PyType_Slot slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(getbuffer_slot)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(releasebuffer_slot)},
};

}  // namespace

constinit const ClassPart array_buffer{{}, slots};

}  // namespace kestrum::py
