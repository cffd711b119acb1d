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

// Below this many queries the walks are too few to gain from running them in another order.
constexpr std::size_t kOrderFrom = 2048;

// The order the queries run in: by their position on a Z-order curve over (up to) the first 8
// coordinates, scaled to the queries' own range, so that consecutive walks find the nodes and rows
// they visit in cache. Results are written per item (a worker's chunk is then neighbouring
// memory, never a line another worker writes) and moved to query order at the end. Which order
// the queries run in changes no result.
class RunOrder {
public:
    RunOrder(QueryRows queries, std::size_t dim);

    bool identity() const { return order_.empty(); }
    std::size_t query(std::size_t item) const { return identity() ? item : order_[item]; }

    // Row `item` (width values) of `by_item` to row query(item) of `out`.
    template <class T>
    void to_query_order(const T* by_item, T* out, std::size_t width) const {
        for (std::size_t item = 0; item < order_.size(); ++item)
            std::copy(by_item + item * width, by_item + (item + 1) * width, out + order_[item] * width);
    }

private:
    std::vector<std::size_t> order_;  // empty: queries run in their own order
};

RunOrder::RunOrder(QueryRows queries, std::size_t dim) {
    const std::size_t n = queries.count;
    const std::size_t used = std::min<std::size_t>(dim, 8);
    if (n < kOrderFrom || used == 0) return;
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
    order_.resize(n);
    for (std::size_t i = 0; i < n; ++i) order_[i] = keyed[i].second;
}

// Where a result row of `width` values is written during the run: the output itself when the
// queries run in their own order, else a buffer in run order (see RunOrder).
template <class T>
class RunRows {
public:
    RunRows(const RunOrder& order, T* out, std::size_t n, std::size_t width)
            : order_(order), out_(out), width_(width), staged_(order.identity() ? 0 : n * width) {}
    T* row(std::size_t item) { return order_.identity() ? out_ + item * width_ : staged_.data() + item * width_; }
    void finish() {
        if (!order_.identity()) order_.to_query_order(staged_.data(), out_, width_);
    }

private:
    const RunOrder& order_;
    T* out_;
    std::size_t width_;
    std::vector<T> staged_;
};

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
    PerWorker<NeighbourHeap> heaps(threads);
    const RunOrder order(queries, s.dim);
    RunRows<double> indices(order, out.indices.data.data(), n, m);
    RunRows<double> distances(order, out.distances.data.data(), n, m);
    parallel_for(n, threads, kWalkChunk, run.poll, [&](std::size_t worker, std::size_t item) {
        NeighbourHeap& heap = heaps.get(worker, m, s.n_points);
        heap.clear();
        tree.knn_into(query_row(s, queries, order.query(item)), heap);
        // Every point is offered until the heap is full, so it always fills.
        if (heap.size() != m) panic_assert_eq("neighbours found must fill the row", heap.size(), m);
        heap.sort();
        double* row_indices = indices.row(item);
        double* row_distances = distances.row(item);
        for (std::size_t j = 0; j < m; ++j) {
            row_indices[j] = static_cast<double>(heap.index_at(j));
            row_distances[j] = heap.distance_at(j);
        }
    });
    indices.finish();
    distances.finish();
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
    PerWorker<std::vector<std::uint64_t>> found(threads);
    const RunOrder order(queries, s.dim);
    RunRows<std::uint32_t> owner(order, out.owner.data(), n, 1);
    RunRows<std::size_t> offset(order, out.offset.data(), n, 1);
    RunRows<std::size_t> length(order, out.length.data(), n, 1);
    parallel_for(n, threads, kWalkChunk, run.poll, [&](std::size_t worker, std::size_t item) {
        std::vector<std::uint64_t>& list = found.get(worker);
        const std::size_t before = list.size();
        tree.radius_into(query_row(s, queries, order.query(item)), radius, list);
        *owner.row(item) = static_cast<std::uint32_t>(worker);
        *offset.row(item) = before;
        *length.row(item) = list.size() - before;
    });
    owner.finish();
    offset.finish();
    length.finish();
    out.found.resize(threads);
    for (std::size_t w = 0; w < threads; ++w)
        if (auto* f = found.find(w)) out.found[w] = std::move(*f);
    return out;
}

template <class Tree>
ArrayF64 query_radius_counts(const Tree& tree, QueryRows queries, double radius, const BatchRun& run) {
    const PointStorage& s = tree.storage;
    const std::size_t n = queries.count;
    ArrayF64 out = ArrayF64::uninit(Shape::d1(n));
    if (n == 0) return out;
    const RunOrder order(queries, s.dim);
    RunRows<double> counts(order, out.data.data(), n, 1);
    parallel_for(n, plan_threads(n, run.workers, kWalkPerThread), kWalkChunk, run.poll,
                 [&](std::size_t, std::size_t item) {
                     RadiusCount count;
                     tree.radius_into(query_row(s, queries, order.query(item)), radius, count);
                     *counts.row(item) = static_cast<double>(count.n);
                 });
    counts.finish();
    return out;
}

template <class Tree>
ArrayF64 kernel_density_batch(const Tree& tree, const QueryRows* queries, KernelType kernel,
                              const ApproxCriterion& criterion, double bandwidth, const BatchRun& run) {
    const PointStorage& s = tree.storage;
    const std::size_t n = queries ? queries->count : s.n_points;
    ArrayF64 out = ArrayF64::uninit(Shape::d1(n));
    if (n == 0) return out;
    const std::size_t threads = plan_threads(n, run.workers, kDensityPerThread);
    if (queries) {
        const RunOrder order(*queries, s.dim);
        RunRows<double> sums(order, out.data.data(), n, 1);
        parallel_for(n, threads, kDensityChunk, run.poll, [&](std::size_t, std::size_t item) {
            *sums.row(item) = tree.density_at(queries->data + order.query(item) * s.dim, kernel, criterion, bandwidth);
        });
        sums.finish();
    } else {
        // Stored points run in storage order, already one where neighbours are close; each sum
        // lands at its source row.
        double* sums = out.data.data();
        parallel_for(n, threads, kDensityChunk, run.poll, [&](std::size_t, std::size_t p) {
            sums[s.indices[p]] = tree.density_at(s.row(p), kernel, criterion, bandwidth);
        });
    }
    return out;
}

#define KESTRUM_BATCH_FOR(Tree)                                                                                       \
    template KnnBatch query_knn_batch(const Tree&, QueryRows, std::uint64_t, const BatchRun&);                        \
    template RadiusLists query_radius_batch(const Tree&, QueryRows, double, const BatchRun&);                         \
    template ArrayF64 query_radius_counts(const Tree&, QueryRows, double, const BatchRun&);                           \
    template ArrayF64 kernel_density_batch(const Tree&, const QueryRows*, KernelType, const ApproxCriterion&, double, \
                                           const BatchRun&);
KESTRUM_BATCH_FOR(KDTree)
KESTRUM_BATCH_FOR(BallTree)
KESTRUM_BATCH_FOR(VPTree)
#undef KESTRUM_BATCH_FOR

}  // namespace kestrum::spatial
