// The bounded heap of the k nearest points found so far in a neighbour search.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/interrupt.hpp"
#include "spatial/metric.hpp"

namespace kestrum::spatial {

// Points a single search scans between two looks for an interrupt (a few milliseconds).
inline constexpr std::int64_t kScanQuantum = std::int64_t{1} << 18;

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
    // +inf before the heap is full, then at least sqrt_bound(top): a squared Euclidean distance
    // above it would be dropped by `offer`. Being a filter ahead of the exact comparison, it may
    // let a few more through than sqrt_bound would.
    double reject_sq() const { return reject_sq_; }

    void offer(double d, std::uint64_t index) {
        if (size_ < k_) push(d, index);
        else if (farther(entries_[0].dist, d)) replace_top(d, index);
        else return;
        if (full()) reject_sq_ = square_above(entries_[0].dist);
    }

    // A value no smaller than sqrt_bound(t), found without sqrt_bound's search where t * t is a
    // normal number: the largest x with sqrt(x) <= t is below t * t * (1 + 2^-51), and the two
    // roundings here add less than 2^-52 each.
    static double square_above(double t) {
        const double sq = t * t;
        if (sq >= 0x1p-1000) return sq * (1.0 + 0x1p-49);
        return sqrt_bound(t);
    }

    // Distance order with NaN after every number, so a point whose distance is NaN never keeps
    // out one at a real distance.
    static bool farther(double a, double b) { return a > b || (std::isnan(a) && !std::isnan(b)); }

    // A search run for a caller on its own thread looks for an interrupt every kScanQuantum
    // points its leaf scans offer; the heaps of worker threads never do.
    void watch() {
        watched_ = true;
        scan_left_ = kScanQuantum;
    }
    void count_scan(std::size_t points) {
        scan_left_ -= static_cast<std::int64_t>(points);
        if (scan_left_ < 0) [[unlikely]]
            scan_quantum_used();
    }

    // Empties the heap for the next query, keeping its storage.
    void clear() {
        size_ = 0;
        reject_sq_ = INFINITY;
    }

    // Orders the entries held by ascending distance (NaN last; ties by index), after which
    // index_at / distance_at read them nearest first.
    void sort();
    std::uint64_t index_at(std::size_t i) const { return entries_[i].index; }
    double distance_at(std::size_t i) const { return entries_[i].dist; }

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
    void scan_quantum_used();  // refills the countdown; polls (and may throw Interrupted) when watched

    std::vector<Entry> entries_;
    std::int64_t scan_left_ = INT64_MAX;
    bool watched_ = false;
};

}  // namespace kestrum::spatial
