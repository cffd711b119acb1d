// The optional NumPy bridge: Array.to_numpy and Array.from_numpy.
#include <cstring>
#include <string>
#include <vector>

#include "python/areas.hpp"
#include "python/args.hpp"
#include "python/array_parts.hpp"
#include "python/held_buffer.hpp"

namespace kestrum::py {

namespace {

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
        std::string reason = take_pending_description();
        if (reason.empty()) reason = "unknown error";
        panic("Failed to access NumPy array API capsule: " + reason);
    }
    api.ndarray = ndarray.release();  // kept for the life of the process
    api.float64 = float64.release();
    return api;
}

// The storage of a NumPy array made by to_numpy: a Buffer exposed as a writable buffer, kept by
// the NumPy array as its base (the borrow flag of the shared layout goes unused).
using NumpyStorage = PyBox<Buffer<double>>;

int storage_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    const Buffer<double>& data = box<Buffer<double>>(self)->value;
    static double empty;  // a valid address for zero-length storage
    void* p = data.size() ? const_cast<double*>(data.data()) : &empty;
    return PyBuffer_FillInfo(view, self, p, static_cast<Py_ssize_t>(data.size() * sizeof(double)), 0, flags);
}

PyTypeObject* numpy_storage_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value<Buffer<double>>)},
            {Py_bf_getbuffer, reinterpret_cast<void*>(storage_getbuffer)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"kestrum.NumpyStorage", sizeof(NumpyStorage), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type_without_constructor(&spec);
    }();
    return type;
}

PyObject* to_numpy_body(PyObject* self, const BoundArgs&) {
    const NumpyApi& np = numpy_api();
    PyTypeObject* storage_type = numpy_storage_type();
    if (!storage_type) raise_current();
    Buffer<double> data;
    Ref shape;
    {
        ArrayRef a(self);
        data = a->data;
        const auto& dims = a->shape.dims;
        shape = Ref(check(PyTuple_New(static_cast<Py_ssize_t>(dims.size()))));
        for (std::size_t i = 0; i < dims.size(); ++i)
            PyTuple_SET_ITEM(shape.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromUnsignedLongLong(dims[i])));
    }
    Ref storage(wrap_value(storage_type, std::move(data)));
    return check(PyObject_CallFunctionObjArgs(np.ndarray, shape.get(), np.float64, storage.get(), nullptr));
}

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
            raise(PyExc_TypeError, std::string("'") + type_name_of(arr) + "' object is not a NumPy array");
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
    const HeldBuffer buf(arr, PyBUF_RECORDS_RO);
    const Py_buffer& v = buf.view();
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

Entry to_numpy_entry{"to_numpy", Kind::method, "Array", {}, to_numpy_body};
Entry from_numpy_entry{"from_numpy", Kind::static_method, "Array", {required("arr")}, from_numpy_body};

constexpr Member rows[] = {member<to_numpy_entry>, member<from_numpy_entry>};

}  // namespace

constinit const ClassPart array_numpy{rows, {}};

}  // namespace kestrum::py
