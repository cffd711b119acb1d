// The build skeleton every tree shares: check the options, copy the points, reserve the nodes,
// then let the tree build its nodes from the root.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "spatial/median_split.hpp"
#include "spatial/options.hpp"
#include "spatial/storage.hpp"

namespace kestrum::spatial {

// Nodes a median-split build of n points makes at most (for reserving storage up front): every
// leaf of a split tree holds at least (leaf_size + 1) / 2 points.
inline std::size_t expected_node_count(std::size_t n, std::uint64_t leaf_size) {
    if (leaf_size >= n) return 1;
    return 2 * (n / std::max<std::size_t>(1, (leaf_size + 1) / 2)) + 1;
}

// `tree` arrives with its own options set; `Tree::build(expected_nodes)` reserves the tree's
// per-node storage and builds from the root.
template <class Tree>
Result<Tree> build_tree(Tree tree, const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric) {
    if (auto e = check_leaf_size(leaf_size)) return *e;
    tree.storage = PointStorage::from_source(array, leaf_size, metric);
    const std::size_t expected_nodes = expected_node_count(tree.storage.n_points, leaf_size);
    tree.nodes.reserve(expected_nodes);
    tree.build(expected_nodes);
    return tree;
}

}  // namespace kestrum::spatial
