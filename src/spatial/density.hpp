// What the kernel density walk needs from a tree, stated as a concept, and the two density
// methods every tree gets from that walk.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "array/ndarray.hpp"
#include "spatial/kernel.hpp"
#include "spatial/metric.hpp"
#include "spatial/options.hpp"
#include "spatial/storage.hpp"

namespace kestrum::spatial {

struct NodeBound {
    double lower;        // L: no point of the node is nearer to the query
    double ref;          // distance to the node's reference point (times `scale`), where the tree has one
    double scale = 1.0;  // 1, or kOverflowScale where the distance to the reference point overflowed
};

// A tree the density walk runs over. Per node it gives its point range and children, a lower
// bound for the distance from a query, its span, and the nearest and farthest distances a point
// of the node can have from the query. M is the metric and D the dimension when known at compile
// time, else 0.
template <class T>
concept DensityTree = requires(const T& tree, std::size_t node, const double* q, const NodeBound& bound) {
    { tree.storage } -> std::convertible_to<const PointStorage&>;
    { tree.nodes[node].start } -> std::convertible_to<std::uint64_t>;
    { tree.nodes[node].end } -> std::convertible_to<std::uint64_t>;
    { tree.nodes[node].left } -> std::convertible_to<std::uint64_t>;
    { tree.nodes[node].right } -> std::convertible_to<std::uint64_t>;
    { tree.nodes[node].is_leaf() } -> std::same_as<bool>;
    { tree.template kde_bound<DistanceMetric::Euclidean, 0>(node, q) } -> std::same_as<NodeBound>;
    { tree.kde_span(node) } -> std::same_as<double>;
    {
        tree.template kde_extremes<DistanceMetric::Euclidean, 0>(node, q, bound)
        } -> std::same_as<std::pair<double, double>>;
};

// Base of every tree (Tree is the tree itself). The walk is defined in kde.hpp and instantiated
// in each tree's own source file, so callers of these methods never compile it.
template <class Tree>
struct DensityEstimates {
    // One value per query row: the kernel sum over every stored point, from +0.0.
    ArrayF64 kernel_density(const ArrayF64& queries, KernelType kernel, double bandwidth) const;
    // As kernel_density, but a node that meets the criterion adds its point count times the mean
    // of the kernel at its nearest and farthest possible distances.
    ArrayF64 kernel_density_approx(const ArrayF64& queries, KernelType kernel, const ApproxCriterion& criterion,
                                   double bandwidth) const;
    // The sum at one query of dim coordinates, exactly as the row's entry of kernel_density_approx.
    double density_at(const double* q, KernelType kernel, const ApproxCriterion& criterion, double bandwidth) const;
};

}  // namespace kestrum::spatial
