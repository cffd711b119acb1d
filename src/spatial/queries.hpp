// The single-query searches every tree offers, written once over the tree's own walks
// (`knn_into` and `radius_into`, which check the query's length themselves).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "spatial/leaf_scan.hpp"
#include "spatial/neighbour_heap.hpp"
#include "spatial/storage.hpp"

namespace kestrum::spatial {

// Base of every tree (Tree is the tree itself).
template <class Tree>
struct PointQueries {
    // Point indices, nearest first; at most k.
    std::vector<std::uint64_t> query_knn(Query q, std::uint64_t k) const {
        const Tree& tree = static_cast<const Tree&>(*this);
        if (k == 0 || tree.storage.n_points == 0) return {};
        NeighbourHeap heap(k, tree.storage.n_points);
        heap.watch();
        tree.knn_into(q, heap);
        return heap.sorted_indices();
    }

    // Point indices within `radius` (inclusive), in leaf order.
    std::vector<std::uint64_t> query_radius(Query q, double radius) const {
        const Tree& tree = static_cast<const Tree&>(*this);
        WatchedResults out;
        out.found.reserve(std::min<std::uint64_t>(tree.storage.n_points, 64));
        tree.radius_into(q, radius, out);
        return std::move(out.found);
    }
};

}  // namespace kestrum::spatial
