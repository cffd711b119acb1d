// The points of a tree re-laid in storage order, and the query point the searches read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "array/ndarray.hpp"
#include "core/interrupt.hpp"
#include "spatial/metric.hpp"

namespace kestrum::spatial {

// Child position of a leaf (nodes are internal exactly when both children are present).
inline constexpr std::uint64_t kNoChild = ~std::uint64_t{0};

// Row p of `data` is source row `indices[p]`.
struct PointStorage {
    Buffer<std::uint64_t> indices;
    Buffer<double> data;
    std::uint64_t n_points = 0;
    std::uint64_t dim = 0;
    std::uint64_t leaf_size = 0;
    DistanceMetric metric = DistanceMetric::Euclidean;

    const double* row(std::size_t p) const { return data.data() + p * dim; }

    // Source must be (n_points, dim); `data` starts as a copy in source order and the build
    // permutes its rows together with `indices`, so it ends in storage order.
    static PointStorage from_source(const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric);

    // A copy of the stored points as an (n_points, dim) array in storage order.
    ArrayF64 points() const;
};

// A query point: its coordinates and how many there are (not necessarily `dim`), and the
// interrupt countdown of a walk run for a caller on its own thread (none in worker threads).
struct Query {
    const double* x;
    std::size_t len;
    InterruptCheck* check = nullptr;

    // Counts the work of scanning `points` stored points.
    void tick(std::size_t points) const {
        if (check) check->tick(points * (len + 4));
    }
};

// Query coordinates are read at the same positions as the stored point's; a longer query would
// read past the row.
inline void check_query_fits(const Query& q, std::uint64_t dim) {
    if (q.len > dim) [[unlikely]]
        panic_bounds(dim, dim);
}

}  // namespace kestrum::spatial
