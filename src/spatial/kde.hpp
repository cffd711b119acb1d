// Kernel density walk shared by the three trees. A tree supplies, per node, its lower bound for
// a query (L), its span (S) and the nearest and farthest possible distances (Dmin, Dmax); the
// walk itself, the skip test and the order in which terms reach the accumulator are common.
//
// A tree type T provides:
//   nodes[i].start / .end / .left / .right / is_leaf()
//   storage (PointStorage)
//   template <M, D> NodeBound kde_bound(node, q)            -> {L, distance to the reference point}
//   double kde_span(node)                                    -> S
//   template <M, D> std::pair<double,double> kde_extremes(node, q, bound)  -> {Dmin, Dmax}
// D is the dimension when known at compile time, else 0.
#pragma once

#include <algorithm>
#include <utility>

#include "spatial/common.hpp"
#include "vmath/vmath.hpp"

namespace kestrum::spatial {

struct NodeBound {
    double lower;  // L
    double ref;    // distance to the node's reference point, where the tree has one
};

// Adds the kernel values of stored points [start, end) to acc in storage order. The Gaussian's
// exponentials are taken a run at a time; the additions stay one at a time, in order.
template <KernelType K, DistanceMetric M, std::size_t D>
void kde_leaf(const PointStorage& s, std::size_t start, std::size_t end, const double* q, double& acc,
              double bandwidth) {
    const std::size_t dim = dim_or<D>(s.dim);
    const double* row = s.row(start);
    if constexpr (K == KernelType::Gaussian) {
        constexpr std::size_t kRun = 64;
        double terms[kRun];
        for (std::size_t p = start; p < end;) {
            const std::size_t m = std::min(kRun, end - p);
            for (std::size_t j = 0; j < m; ++j, row += dim)
                terms[j] = gaussian_exponent(distance<M>(q, row, dim) / bandwidth);
            vmath::exp(terms, terms, m);
            for (std::size_t j = 0; j < m; ++j) acc += terms[j];
            p += m;
        }
    } else {
        for (std::size_t p = start; p < end; ++p, row += dim)
            acc += kernel_value<K>(distance<M>(q, row, dim) / bandwidth);
    }
}

template <KernelType K, DistanceMetric M, std::size_t D, class T>
void kde_recursive(const T& tree, std::size_t node, const double* q, double& acc, double bandwidth,
                   const ApproxCriterion& criterion) {
    using Kind = ApproxCriterion::Kind;
    const PointStorage& s = tree.storage;
    for (;;) {
        const auto& n = tree.nodes[node];
        const NodeBound b = tree.template kde_bound<M, D>(node, q);
        if (kernel_negligible<K>(b.lower / bandwidth)) return;
        if (n.is_leaf()) {
            kde_leaf<K, M, D>(s, n.start, n.end, q, acc, bandwidth);
            return;
        }
        const std::uint64_t count = n.end - n.start;
        bool approx = false;
        switch (criterion.kind) {
            case Kind::None: break;
            case Kind::MinSamples: approx = count >= criterion.min_samples; break;
            case Kind::MaxSpan: approx = tree.kde_span(node) <= criterion.max_span; break;
            case Kind::Combined:
                approx = count >= criterion.min_samples && tree.kde_span(node) <= criterion.max_span;
                break;
        }
        if (approx) {
            const auto [dmin, dmax] = tree.template kde_extremes<M, D>(node, q, b);
            acc += (kernel_value<K>(dmin / bandwidth) + kernel_value<K>(dmax / bandwidth)) * 0.5 *
                   static_cast<double>(count);
            return;
        }
        kde_recursive<K, M, D>(tree, n.left, q, acc, bandwidth, criterion);
        node = n.right;
    }
}

// One walk per query row; entry i is the sum for row i, accumulated from +0.0.
template <class T>
ArrayF64 kernel_density_approx(const T& tree, const ArrayF64& queries, KernelType kernel,
                               const ApproxCriterion& criterion, double bandwidth) {
    const PointStorage& s = tree.storage;
    check_density_queries(queries, s.dim);
    const std::size_t n_queries = queries.shape[0];
    if (s.n_points == 0) return ArrayF64::zeros(Shape::d1(n_queries));
    ArrayF64 out = ArrayF64::uninit(Shape::d1(n_queries));
    with_kernel(kernel, [&]<KernelType K>() {
        with_metric(s.metric, [&]<DistanceMetric M>() {
            with_dim(s.dim, [&]<std::size_t D>() {
                for (std::size_t i = 0; i < n_queries; ++i) {
                    double acc = 0.0;
                    kde_recursive<K, M, D>(tree, 0, queries.data.data() + i * s.dim, acc, bandwidth, criterion);
                    out.data[i] = acc;
                }
            });
        });
    });
    return out;
}

}  // namespace kestrum::spatial
