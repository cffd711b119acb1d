// Arguments and results of the trees' batch methods: the query block, the worker count and the
// radius lists.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "python/args.hpp"
#include "python/held_buffer.hpp"
#include "spatial/batch.hpp"

namespace kestrum::py {

// The queries of a batch method, read in place where possible: a 2-D Array (a 1-D one is one
// query) under a shared borrow, a C-contiguous float64 buffer of one or two dimensions held for
// the call, or a list of equal-length lists (a flat list of numbers is one query), copied. Every
// query must have `dim` coordinates. Destroy with the interpreter lock held.
class BatchQueries {
public:
    BatchQueries(PyObject* o, std::uint64_t dim);
    BatchQueries(const BatchQueries&) = delete;
    BatchQueries& operator=(const BatchQueries&) = delete;

    spatial::QueryRows rows() const { return spatial::QueryRows{data_, count_}; }

private:
    void take_shape(std::size_t ndim, std::uint64_t rows, std::uint64_t width);
    void check_width(std::uint64_t width) const;
    void read_buffer(PyObject* o);
    void read_rows(PyObject* o);
    void read_row(PyObject* row, double* out) const;

    std::uint64_t dim_;
    std::optional<ArrayRef> array_;
    std::optional<HeldBuffer> buffer_;
    std::vector<double> owned_;
    const double* data_ = nullptr;
    std::size_t count_ = 0;
};

// `workers`: a positive int, or -1 for every CPU this process may run on; None means 1.
std::size_t arg_workers(PyObject* o);

// A list of lists of ints, list i holding found.list(i).
PyObject* radius_lists(const spatial::RadiusLists& found, std::uint64_t n_points);

}  // namespace kestrum::py
