// The query block, worker count and radius lists of the trees' batch methods.
#include "python/spatial_batch.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/parallel.hpp"

namespace kestrum::py {

namespace {

constexpr const char* kQueriesKind = "queries must be an Array, a C-contiguous float64 array, or a list of lists";

// Whether a buffer format string describes one native float64.
bool is_f64_format(const char* f, Py_ssize_t itemsize) {
    if (!f) return false;
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    return f[0] == 'd' && f[1] == '\0' && itemsize == 8;
}

}  // namespace

BatchQueries::BatchQueries(PyObject* o, std::uint64_t dim) : dim_(dim) {
    if (is_array(o)) {
        array_.emplace(o);
        const auto& dims = (*array_)->shape.dims;
        take_shape(dims.size(), dims.size() == 2 ? dims[0] : 1, dims.empty() ? 0 : dims.back());
        data_ = (*array_)->data.data();
    } else if (PyObject_CheckBuffer(o)) {
        read_buffer(o);
    } else if (PyList_Check(o) || PyTuple_Check(o)) {
        read_rows(o);
    } else {
        raise(PyExc_ValueError, kQueriesKind);
    }
}

void BatchQueries::take_shape(std::size_t ndim, std::uint64_t rows, std::uint64_t width) {
    if (ndim != 1 && ndim != 2) raise(PyExc_ValueError, "queries must be 1D or 2D array");
    check_width(width);
    count_ = rows;
}

void BatchQueries::check_width(std::uint64_t width) const {
    if (width != dim_)
        raise(PyExc_ValueError,
              "Query dimension " + std::to_string(width) + " doesn't match tree dimension " + std::to_string(dim_));
}

void BatchQueries::read_buffer(PyObject* o) {
    const Py_buffer& view = buffer_.emplace(o, PyBUF_RECORDS_RO).view();
    if (view.ndim != 1 && view.ndim != 2) raise(PyExc_ValueError, "queries must be 1D or 2D array");
    if (!is_f64_format(view.format, view.itemsize) || !PyBuffer_IsContiguous(&view, 'C'))
        raise(PyExc_ValueError,
              "queries must be a C-contiguous float64 array (numpy.ascontiguousarray(queries, dtype=float) makes one)");
    const auto first = static_cast<std::uint64_t>(view.shape[0]);
    take_shape(static_cast<std::size_t>(view.ndim), view.ndim == 2 ? first : 1,
               static_cast<std::uint64_t>(view.shape[view.ndim - 1]));
    data_ = static_cast<const double*>(view.buf);
    if (reinterpret_cast<std::uintptr_t>(data_) % alignof(double) != 0) {
        // A view at an odd offset: read from an aligned copy.
        owned_.resize(count_ * dim_);
        if (!owned_.empty()) std::memcpy(owned_.data(), view.buf, owned_.size() * sizeof(double));
        data_ = owned_.data();
    }
}

void BatchQueries::read_rows(PyObject* o) {
    // A tuple snapshot: a conversion hook of some item cannot change the rows being read.
    Ref seq(check(PySequence_Tuple(o)));
    const std::size_t n = static_cast<std::size_t>(PyTuple_GET_SIZE(seq.get()));
    PyObject* const* items = PySequence_Fast_ITEMS(seq.get());
    const bool flat = n > 0 && !PyList_Check(items[0]) && !PyTuple_Check(items[0]) && !is_array(items[0]) &&
                      !PyUnicode_Check(items[0]);
    if (flat) {
        std::optional<std::vector<double>> row =
            attempt(Fallback::on_conversion_error, [&] { return to_f64_list(seq.get()); });
        if (!row) raise(PyExc_ValueError, kQueriesKind);
        check_width(row->size());
        owned_ = std::move(*row);
        count_ = 1;
    } else {
        owned_.resize(n * dim_);
        for (std::size_t i = 0; i < n; ++i) read_row(items[i], owned_.data() + i * dim_);
        count_ = n;
    }
    data_ = owned_.data();
}

// One row: a sequence of numbers, read directly when all are exact floats.
void BatchQueries::read_row(PyObject* row, double* out) const {
    if (PyList_CheckExact(row) || PyTuple_CheckExact(row)) {
        const std::size_t len = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(row));
        PyObject** xs = PySequence_Fast_ITEMS(row);
        check_width(len);
        std::size_t j = 0;
        while (j < len && PyFloat_CheckExact(xs[j])) {
            out[j] = PyFloat_AS_DOUBLE(xs[j]);
            ++j;
        }
        if (j == len) return;
    }
    std::optional<std::vector<double>> values;
    if (!PyUnicode_Check(row) && !is_array(row))
        values = attempt(Fallback::on_conversion_error, [&] { return to_f64_list(row); });
    if (!values) raise(PyExc_ValueError, "each query must be a list of numbers");
    check_width(values->size());
    std::copy(values->begin(), values->end(), out);
}

std::size_t arg_workers(PyObject* o) {
    if (!o || o == Py_None) return 1;
    const std::size_t workers = resolve_workers(arg_i64(o, "workers"));
    if (workers == 0) raise(PyExc_ValueError, "workers must be a positive integer or -1");
    return workers;
}

namespace {

// Pauses the cyclic garbage collector while many new lists are made: they cannot form cycles,
// and each collection the allocations would trigger walks every young container again.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(disable_gc()) {}
    ~CollectorPause() {
        if (was_enabled_) enable_gc();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_ = false;
};

// Python ints for point indices. When the lists hold many entries per point, each index's int is
// made once and shared (ints are immutable), which saves most of the allocations.
class IndexInts {
public:
    IndexInts(std::uint64_t n_points, std::size_t total) {
        if (n_points > 0 && total >= n_points / 4) table_.assign(n_points, nullptr);
    }
    ~IndexInts() {
        for (PyObject* o : table_) Py_XDECREF(o);
    }
    IndexInts(const IndexInts&) = delete;
    IndexInts& operator=(const IndexInts&) = delete;

    PyObject* get(std::uint64_t index) {  // new reference
        if (index >= table_.size()) return check(PyLong_FromUnsignedLongLong(index));
        PyObject*& slot = table_[index];
        if (!slot) slot = check(PyLong_FromUnsignedLongLong(index));
        Py_INCREF(slot);
        return slot;
    }

private:
    std::vector<PyObject*> table_;
};

}  // namespace

PyObject* radius_lists(const spatial::RadiusLists& found, std::uint64_t n_points) {
    const std::size_t n = found.size();
    const CollectorPause pause;
    Ref out(check(PyList_New(static_cast<Py_ssize_t>(n))));
    IndexInts ints(n_points, found.total());
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t* items = found.list(i);
        const std::size_t len = found.length[i];
        Ref list(check(PyList_New(static_cast<Py_ssize_t>(len))));
        for (std::size_t j = 0; j < len; ++j)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), ints.get(items[j]));
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), list.release());
    }
    return out.release();
}

}  // namespace kestrum::py
