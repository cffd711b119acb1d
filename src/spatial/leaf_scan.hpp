// The scans of a leaf's points that every tree's searches end in.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "spatial/metric.hpp"
#include "spatial/neighbour_heap.hpp"
#include "spatial/storage.hpp"

namespace kestrum::spatial {

// Offers the points at storage positions [start, end) to the heap. D as in `with_dim`; the
// caller has checked that the query is not longer than a stored point.
template <DistanceMetric M, std::size_t D>
inline void offer_leaf(const PointStorage& s, std::size_t start, std::size_t end, Query q, NeighbourHeap& heap) {
    const std::size_t len = dim_or<D>(q.len);
    const std::size_t stride = dim_or<D>(s.dim);
    const double* row = s.row(start);
    for (std::size_t p = start; p < end; ++p, row += stride) {
        if constexpr (M == DistanceMetric::Euclidean) {
            const double r = reduced_distance<M>(q.x, row, len);
            if (r > heap.reject_sq()) continue;  // the heap would drop it
            heap.offer(std::sqrt(r), s.indices[p]);
        } else {
            heap.offer(distance<M>(q.x, row, len), s.indices[p]);
        }
    }
    q.tick(end - start);
}

// Where a radius search puts what it finds: a std::vector of indices, or a RadiusCount.
struct RadiusCount {
    std::uint64_t n = 0;
    void push_back(std::uint64_t) { ++n; }
};

// Appends the indices of the points at storage positions [start, end) within the radius whose
// `point_limit` is `limit`.
template <DistanceMetric M, std::size_t D, class Out>
inline void collect_leaf(const PointStorage& s, std::size_t start, std::size_t end, Query q, double limit,
                         Out& results) {
    const std::size_t len = dim_or<D>(q.len);
    const std::size_t stride = dim_or<D>(s.dim);
    const double* row = s.row(start);
    for (std::size_t p = start; p < end; ++p, row += stride)
        if (reduced_distance<M>(q.x, row, len) <= limit) results.push_back(s.indices[p]);
    q.tick(end - start);
}

}  // namespace kestrum::spatial
