// Many queries at once, on several threads: k nearest neighbours with their distances, radius
// lists or counts, and kernel density sums. Every query gets exactly what the single-query
// operation of the same tree gives it, whatever the number of workers.
#pragma once

#include <cstdint>
#include <vector>

#include "array/ndarray.hpp"
#include "core/parallel.hpp"
#include "spatial/kernel.hpp"
#include "spatial/options.hpp"

namespace kestrum::spatial {

// `count` queries of the tree's dimension, row-major.
struct QueryRows {
    const double* data = nullptr;
    std::size_t count = 0;
};

struct BatchRun {
    std::size_t workers = 1;  // threads, the calling thread included
    StopPoll poll;
};

// (count, min(k, n_points)) point indices (as exact float64 integers) and their distances in the
// tree's metric, row i nearest first as query_knn orders them.
struct KnnBatch {
    ArrayF64 indices;
    ArrayF64 distances;
};

// The radius lists of a batch. Each worker appends the lists of the queries it ran to its own
// buffer; list i is found[owner[i]][offset[i] .. offset[i] + length[i]).
struct RadiusLists {
    std::vector<std::vector<std::uint64_t>> found;
    Buffer<std::uint32_t> owner;
    Buffer<std::size_t> offset;
    Buffer<std::size_t> length;

    std::size_t size() const { return owner.size(); }
    const std::uint64_t* list(std::size_t i) const { return found[owner[i]].data() + offset[i]; }
    std::size_t total() const;
};

template <class Tree>
KnnBatch query_knn_batch(const Tree& tree, QueryRows queries, std::uint64_t k, const BatchRun& run);

template <class Tree>
RadiusLists query_radius_batch(const Tree& tree, QueryRows queries, double radius, const BatchRun& run);

// The lengths of the radius lists, found without building them.
template <class Tree>
ArrayF64 query_radius_counts(const Tree& tree, QueryRows queries, double radius, const BatchRun& run);

// Density sums at each query; with no queries (null), at every stored point, entry i being the
// sum at row i of the source array.
template <class Tree>
ArrayF64 kernel_density_batch(const Tree& tree, const QueryRows* queries, KernelType kernel,
                              const ApproxCriterion& criterion, double bandwidth, const BatchRun& run);

}  // namespace kestrum::spatial
