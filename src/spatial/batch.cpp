// Batch queries of the three trees: one item per query, each worker with its own scratch.
#include "spatial/batch.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "spatial/ball_tree.hpp"
#include "spatial/kd_tree.hpp"
#include "spatial/leaf_scan.hpp"
#include "spatial/vp_tree.hpp"

namespace kestrum::spatial {

namespace {

// Walk queries are short (about a microsecond): they are claimed 64 at a time, and a thread is
// worth starting only for a few hundred of them. Density sums are much longer per query.
constexpr std::size_t kWalkChunk = 64;
constexpr std::size_t kWalkPerThread = 512;
constexpr std::size_t kDensityChunk = 4;
constexpr std::size_t kDensityPerThread = 16;

Query query_row(const PointStorage& s, QueryRows queries, std::size_t i) {
    return Query{queries.data + i * s.dim, static_cast<std::size_t>(s.dim)};
}

// Below this many queries the walks are too few to gain from a better order.
constexpr std::size_t kOrderFrom = 2048;

// Query numbers in an order where consecutive queries tend to lie near each other: by their
// position on a Z-order curve over (up to) the first 8 coordinates, scaled to the queries' own
// range. Consecutive walks then find the nodes and rows they visit in cache. Which order the
// queries run in changes no result.
std::vector<std::size_t> locality_order(QueryRows queries, std::size_t dim) {
    const std::size_t n = queries.count;
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    const std::size_t used = std::min<std::size_t>(dim, 8);
    if (n < kOrderFrom || used == 0) return order;
    std::vector<double> lo(used, INFINITY), hi(used, -INFINITY);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t d = 0; d < used; ++d) {
            const double x = queries.data[i * dim + d];  // NaN changes neither bound
            if (x < lo[d]) lo[d] = x;
            if (x > hi[d]) hi[d] = x;
        }
    const unsigned bits = static_cast<unsigned>(63 / used);
    const double cells = std::ldexp(1.0, static_cast<int>(bits));
    std::vector<double> scale(used);
    for (std::size_t d = 0; d < used; ++d) {
        const double span = hi[d] - lo[d];
        scale[d] = span > 0.0 && std::isfinite(span) ? cells / span : 0.0;
    }
    std::vector<std::pair<std::uint64_t, std::size_t>> keyed(n);
    std::uint64_t cell[8];
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t d = 0; d < used; ++d) {
            const double t = (queries.data[i * dim + d] - lo[d]) * scale[d];
            // Out-of-range, infinite and NaN values land in the first or last cell.
            cell[d] = t >= 1.0 ? (t < cells ? static_cast<std::uint64_t>(t) : (std::uint64_t{1} << bits) - 1) : 0;
        }
        std::uint64_t key = 0;
        for (unsigned b = bits; b-- > 0;)
            for (std::size_t d = 0; d < used; ++d) key = key << 1 | (cell[d] >> b & 1);
        keyed[i] = {key, i};
    }
    std::sort(keyed.begin(), keyed.end());
    for (std::size_t i = 0; i < n; ++i) order[i] = keyed[i].second;
    return order;
}

}  // namespace

std::size_t RadiusLists::total() const {
    std::size_t n = 0;
    for (const auto& f : found) n += f.size();
    return n;
}

template <class Tree>
KnnBatch query_knn_batch(const Tree& tree, QueryRows queries, std::uint64_t k, const BatchRun& run) {
    const PointStorage& s = tree.storage;
    const std::size_t n = queries.count;
    const std::uint64_t m = std::min<std::uint64_t>(k, s.n_points);
    KnnBatch out{ArrayF64::uninit(Shape{n, m}), ArrayF64::uninit(Shape{n, m})};
    if (m == 0 || n == 0) return out;
    const std::size_t threads = plan_threads(n, run.workers, kWalkPerThread);
    std::vector<NeighbourHeap> heaps;
    heaps.reserve(threads);
    for (std::size_t w = 0; w < threads; ++w) heaps.emplace_back(m, s.n_points);
    double* indices = out.indices.data.data();
    double* distances = out.distances.data.data();
    const std::vector<std::size_t> order = locality_order(queries, s.dim);
    parallel_for(n, threads, kWalkChunk, run.poll, [&](std::size_t worker, std::size_t item) {
        const std::size_t i = order[item];
        NeighbourHeap& heap = heaps[worker];
        heap.clear();
        tree.knn_into(query_row(s, queries, i), heap);
        // Every point is offered until the heap is full, so it always fills.
        if (heap.size() != m) panic_assert_eq("neighbours found must fill the row", heap.size(), m);
        heap.sort();
        double* row_indices = indices + i * m;
        double* row_distances = distances + i * m;
        for (std::size_t j = 0; j < m; ++j) {
            row_indices[j] = static_cast<double>(heap.index_at(j));
            row_distances[j] = heap.distance_at(j);
        }
    });
    return out;
}

template <class Tree>
RadiusLists query_radius_batch(const Tree& tree, QueryRows queries, double radius, const BatchRun& run) {
    const PointStorage& s = tree.storage;
    const std::size_t n = queries.count;
    RadiusLists out;
    out.owner = Buffer<std::uint32_t>::uninit(n);
    out.offset = Buffer<std::size_t>::uninit(n);
    out.length = Buffer<std::size_t>::uninit(n);
    if (n == 0) return out;
    const std::size_t threads = plan_threads(n, run.workers, kWalkPerThread);
    out.found.resize(threads);
    for (auto& f : out.found) f.reserve(1024);
    parallel_for(n, threads, kWalkChunk, run.poll, [&](std::size_t worker, std::size_t i) {
        std::vector<std::uint64_t>& found = out.found[worker];
        const std::size_t before = found.size();
        tree.radius_into(query_row(s, queries, i), radius, found);
        out.owner[i] = static_cast<std::uint32_t>(worker);
        out.offset[i] = before;
        out.length[i] = found.size() - before;
    });
    return out;
}

template <class Tree>
ArrayF64 query_radius_counts(const Tree& tree, QueryRows queries, double radius, const BatchRun& run) {
    const PointStorage& s = tree.storage;
    const std::size_t n = queries.count;
    ArrayF64 out = ArrayF64::uninit(Shape::d1(n));
    if (n == 0) return out;
    double* counts = out.data.data();
    parallel_for(n, plan_threads(n, run.workers, kWalkPerThread), kWalkChunk, run.poll,
                 [&](std::size_t, std::size_t i) {
                     RadiusCount count;
                     tree.radius_into(query_row(s, queries, i), radius, count);
                     counts[i] = static_cast<double>(count.n);
                 });
    return out;
}

template <class Tree>
ArrayF64 kernel_density_batch(const Tree& tree, const QueryRows* queries, KernelType kernel,
                              const ApproxCriterion& criterion, double bandwidth, const BatchRun& run) {
    const PointStorage& s = tree.storage;
    const std::size_t n = queries ? queries->count : s.n_points;
    ArrayF64 out = ArrayF64::uninit(Shape::d1(n));
    if (n == 0) return out;
    double* sums = out.data.data();
    const std::size_t threads = plan_threads(n, run.workers, kDensityPerThread);
    if (queries) {
        parallel_for(n, threads, kDensityChunk, run.poll, [&](std::size_t, std::size_t i) {
            sums[i] = tree.density_at(queries->data + i * s.dim, kernel, criterion, bandwidth);
        });
    } else {
        // Stored points are walked in storage order (neighbouring queries visit the same nodes);
        // each sum lands at its source row.
        parallel_for(n, threads, kDensityChunk, run.poll, [&](std::size_t, std::size_t p) {
            sums[s.indices[p]] = tree.density_at(s.row(p), kernel, criterion, bandwidth);
        });
    }
    return out;
}

#define KESTRUM_BATCH_FOR(Tree)                                                                                  \
    template KnnBatch query_knn_batch(const Tree&, QueryRows, std::uint64_t, const BatchRun&);                   \
    template RadiusLists query_radius_batch(const Tree&, QueryRows, double, const BatchRun&);                    \
    template ArrayF64 query_radius_counts(const Tree&, QueryRows, double, const BatchRun&);                      \
    template ArrayF64 kernel_density_batch(const Tree&, const QueryRows*, KernelType, const ApproxCriterion&, \
                                           double, const BatchRun&);
KESTRUM_BATCH_FOR(KDTree)
KESTRUM_BATCH_FOR(BallTree)
KESTRUM_BATCH_FOR(VPTree)
#undef KESTRUM_BATCH_FOR

}  // namespace kestrum::spatial
