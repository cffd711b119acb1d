// The scans of a leaf's points that every tree's searches end in.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/interrupt.hpp"
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
    heap.count_scan(end - start);
}

// Where a radius search puts what it finds: a std::vector of indices, or a RadiusCount.
struct RadiusCount {
    std::uint64_t n = 0;
    void push_back(std::uint64_t) { ++n; }
};

// The results of a radius search run for a caller on its own thread: the list, and the countdown
// to its next look for an interrupt (see kScanQuantum). Other result kinds (worker threads) count
// nothing.
struct WatchedResults {
    std::vector<std::uint64_t> found;
    std::int64_t scan_left = kScanQuantum;
    void push_back(std::uint64_t index) { found.push_back(index); }
};

template <class Out>
inline void count_scan(Out&, std::size_t) {}
inline void count_scan(WatchedResults& out, std::size_t points) {
    out.scan_left -= static_cast<std::int64_t>(points);
    if (out.scan_left < 0) [[unlikely]] {
        out.scan_left = kScanQuantum;
        if (interrupt_requested()) throw Interrupted{};
    }
}

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
    count_scan(results, end - start);
}

}  // namespace kestrum::spatial
