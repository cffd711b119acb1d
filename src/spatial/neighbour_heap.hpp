// The bounded heap of the k nearest points found so far in a neighbour search.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "spatial/metric.hpp"

namespace kestrum::spatial {

// Max-heap on distance (an equal distance never displaces an entry) with room for k (distance,
// point index) entries. Storage is bounded by the number of points that can be offered (each
// point at most once), so a huge k costs nothing. All index arithmetic stays within the entries
// held, so NaN distances cannot make it read out of bounds.
class NeighbourHeap {
public:
    NeighbourHeap(std::uint64_t k, std::uint64_t n_points);

    bool full() const { return size_ == k_; }
    double top() const { return entries_[0].dist; }
    std::size_t size() const { return size_; }
    // sqrt_bound(top) once full, +inf before: a squared Euclidean distance above it would be
    // dropped by `offer`.
    double reject_sq() const { return reject_sq_; }

    void offer(double d, std::uint64_t index) {
        if (size_ < k_) push(d, index);
        else if (farther(entries_[0].dist, d)) replace_top(d, index);
        else return;
        if (full()) reject_sq_ = sqrt_bound(entries_[0].dist);
    }

    // Distance order with NaN after every number, so a point whose distance is NaN never keeps
    // out one at a real distance.
    static bool farther(double a, double b) { return a > b || (std::isnan(a) && !std::isnan(b)); }

    // The indices held, by ascending distance (NaN last; ties by index).
    std::vector<std::uint64_t> sorted_indices();

private:
    struct Entry {
        double dist;
        std::uint64_t index;
    };
    void push(double d, std::uint64_t index);
    void replace_top(double d, std::uint64_t index);

    std::uint64_t k_;
    std::size_t size_ = 0;
    double reject_sq_ = INFINITY;
    std::vector<Entry> entries_;
};

}  // namespace kestrum::spatial
