// Sift operations of the neighbour heap and the final ordering of its entries.
#include "spatial/neighbour_heap.hpp"

#include <algorithm>

#include "core/interrupt.hpp"

namespace kestrum::spatial {

NeighbourHeap::NeighbourHeap(std::uint64_t k, std::uint64_t n_points) : k_(k), entries_(std::min(k, n_points)) {}

void NeighbourHeap::push(double d, std::uint64_t index) {
    if (size_ == entries_.size()) return;  // more offers than points: cannot happen in a tree walk
    Entry* e = entries_.data();
    std::size_t i = size_++;
    while (i > 0) {
        const std::size_t parent = (i - 1) / 2;
        if (!farther(d, e[parent].dist)) break;
        e[i] = e[parent];
        i = parent;
    }
    e[i] = {d, index};
}

void NeighbourHeap::replace_top(double d, std::uint64_t index) {
    Entry* e = entries_.data();
    std::size_t i = 0;
    for (;;) {
        const std::size_t l = 2 * i + 1;
        if (l >= size_) break;
        std::size_t c = l;
        if (l + 1 < size_ && farther(e[l + 1].dist, e[l].dist)) c = l + 1;
        if (!farther(e[c].dist, d)) break;
        e[i] = e[c];
        i = c;
    }
    e[i] = {d, index};
}

void NeighbourHeap::sort() {
    const auto nearer = [](const Entry& a, const Entry& b) {
        const bool na = std::isnan(a.dist), nb = std::isnan(b.dist);
        if (na != nb) return nb;
        if (!na && a.dist != b.dist) return a.dist < b.dist;
        return a.index < b.index;
    };
    // A total order, so any sort gives the same result. A large heap is sorted in runs that are
    // then merged pass by pass, so an interrupt is seen between runs and passes.
    constexpr std::size_t kRun = std::size_t{1} << 15;
    Entry* e = entries_.data();
    const std::size_t n = size_;
    InterruptCheck check;
    for (std::size_t b = 0; b < n; b += kRun) {
        std::sort(e + b, e + std::min(n, b + kRun), nearer);
        check.tick(16 * kRun);
    }
    if (n > kRun) {
        std::vector<Entry> merged(n);
        for (std::size_t width = kRun; width < n; width *= 2) {
            for (std::size_t b = 0; b < n; b += 2 * width) {
                const std::size_t mid = std::min(n, b + width), end = std::min(n, b + 2 * width);
                std::merge(e + b, e + mid, e + mid, e + end, merged.data() + b, nearer);
            }
            std::copy(merged.begin(), merged.end(), e);
            check.tick(4 * n);
        }
    }
}

std::vector<std::uint64_t> NeighbourHeap::sorted_indices() {
    sort();
    std::vector<std::uint64_t> out(size_);
    for (std::size_t i = 0; i < size_; ++i) out[i] = entries_[i].index;
    return out;
}

}  // namespace kestrum::spatial
