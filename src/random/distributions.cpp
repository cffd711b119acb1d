// Continuous distributions built on next_f64: Box-Muller normals and Marsaglia-Tsang gammas.
#include <algorithm>
#include <cmath>

#include "random/generator.hpp"
#include "random/proposals.hpp"
#include "vmath/vmath.hpp"

namespace kestrum {

namespace {

// next_f64, drawn again while it is exactly zero (its logarithm would be -inf).
inline double nonzero_f64(Generator& g) {
    double u;
    do u = g.next_f64();
    while (u == 0.0);
    return u;
}

// Pairs per block: the block's uniforms are drawn first, in a loop free of calls that keeps the
// generator words in registers, and then transformed in place while still in cache.
constexpr std::size_t kPairBlock = 256;

// Fills out[0, n) with standard normal samples, each passed through `post`, and then each block
// through `finish` (a run function such as vmath::exp, or nothing). The logarithms of a block are
// taken in one run. sincos gives the same bits as separate sin and cos on the supported platform
// (checked by the tests against them).
template <class Post, class Finish>
void fill_standard_normal(Generator& gen, double* out, std::size_t n, Post post, Finish finish) {
    Generator g = gen;
    const std::size_t pairs = n / 2;
    double logs[kPairBlock];
    for (std::size_t start = 0; start < pairs; start += kPairBlock) {
        const std::size_t m = std::min(kPairBlock, pairs - start);
        double* p = out + 2 * start;
        for (std::size_t k = 0; k < 2 * m; ++k) p[k] = nonzero_f64(g);
        for (std::size_t k = 0; k < m; ++k) logs[k] = p[2 * k];
        vmath::log(logs, logs, m);
        for (std::size_t k = 0; k < m; ++k) {
            const double r = std::sqrt(logs[k] * -2.0);
            double s, c;
            ::sincos(p[2 * k + 1] * kTwoPi, &s, &c);
            p[2 * k] = post(s * r);
            p[2 * k + 1] = post(r * c);
        }
        finish(p, 2 * m);
    }
    if (n % 2 == 1) {
        // The last pair keeps only its sine; the cosine partner is dropped, not carried over.
        const double u1 = nonzero_f64(g);
        const double u2 = nonzero_f64(g);
        out[n - 1] = post(std::sqrt(std::log(u1) * -2.0) * std::sin(u2 * kTwoPi));
        finish(out + n - 1, 1);
    }
    gen = g;
}

struct NoFinish {
    void operator()(double*, std::size_t) const {}
};

template <class Post, class Finish = NoFinish>
ArrayF64 standard_normal_with(Generator& gen, const Shape& shape, Post post, Finish finish = {}) {
    Buffer<double> out = Buffer<double>::uninit(shape.size());
    fill_standard_normal(gen, out.data(), out.size(), post, finish);
    return ArrayF64::create(shape, std::move(out));
}

// Marsaglia-Tsang for a >= 1, with d = a - 1/3 and c = 1 / sqrt(9d) fixed per shape parameter.
// `src` is DirectDraws or a ProposalStream; `slot` is the sampler's turn in a stream.
template <class Source>
inline double marsaglia_tsang(Source& src, std::size_t slot, double d, double c) {
    for (;;) {
        double x, v;
        do {
            const Proposal p = src.proposal(slot);
            const double r = std::sqrt(p.log_u1 * -2.0);
            x = p.cos_u2 * r;
            v = c * x + 1.0;
        } while (!(v > 0.0));  // NaN repeats too
        v = (v * v) * v;
        const double u = src.uniform();
        if ((((x * -0.0331) * x) * x) * x + 1.0 > u) return d * v;
        const double log_u = std::log(u);
        if ((std::log(v) + (1.0 - v)) * d + (0.5 * x) * x > log_u) return d * v;
    }
}

// gamma(a, 1) draws for one a > 0; a < 1 draws for a + 1 and then scales by u^(1/a).
struct GammaSampler {
    double d, c, inv_a;
    bool boosted;

    explicit GammaSampler(double a) : boosted(a < 1.0) {
        const double base = boosted ? a + 1.0 : a;
        d = base + -0.3333333333333333;
        c = 1.0 / std::sqrt(9.0 * d);
        inv_a = 1.0 / a;
    }

    // Uniforms one sample reads when its first proposal is accepted.
    std::size_t draws() const { return boosted ? 4 : 3; }

    template <class Source>
    double operator()(Source& src, std::size_t slot = 0) const {
        const double x = marsaglia_tsang(src, slot, d, c);
        if (!boosted) return x;
        const double u = src.uniform();
        return std::pow(u, inv_a) * x;
    }
};

}  // namespace

ArrayF64 Generator::standard_normal(const Shape& shape) {
    return standard_normal_with(*this, shape, [](double z) { return z; });
}

ArrayF64 Generator::normal(double mu, double sigma, const Shape& shape) {
    return standard_normal_with(*this, shape, [=](double z) { return z * sigma + mu; });
}

ArrayF64 Generator::lognormal(double mu, double sigma, const Shape& shape) {
    // exp(z * sigma + mu), the exponentials taken a block at a time.
    return standard_normal_with(
        *this, shape, [=](double z) { return z * sigma + mu; },
        [](double* p, std::size_t count) { vmath::exp(p, p, count); });
}

double Generator::sample_gamma_single(double a) {
    // A non-positive or NaN a would never be accepted by the rejection loop.
    if (!(a > 0.0)) panic("shape parameter must be positive");
    Generator g = *this;
    DirectDraws src{g};
    const double x = GammaSampler(a)(src);
    *this = g;
    return x;
}

ArrayF64 Generator::gamma(double shape_param, double scale, const Shape& shape) {
    if (!(shape_param > 0.0)) panic("shape parameter must be positive");
    if (!(scale > 0.0)) panic("scale must be positive");
    const GammaSampler sample(shape_param);
    Buffer<double> out = Buffer<double>::uninit(shape.size());
    ProposalStream<1> src(*this, {sample.draws()}, out.size());
    for (double& v : out) v = sample(src) * scale;
    *this = src.finish();
    return ArrayF64::create(shape, std::move(out));
}

ArrayF64 Generator::beta(double alpha, double beta_param, const Shape& shape) {
    if (!(alpha > 0.0)) panic("alpha must be positive");
    if (!(beta_param > 0.0)) panic("beta must be positive");
    const GammaSampler sample_x(alpha), sample_y(beta_param);
    Buffer<double> out = Buffer<double>::uninit(shape.size());
    ProposalStream<2> src(*this, {sample_x.draws(), sample_y.draws()}, out.size());
    for (double& v : out) {
        const double x = sample_x(src, 0);
        const double y = sample_y(src, 1);
        v = x / (x + y);
    }
    *this = src.finish();
    return ArrayF64::create(shape, std::move(out));
}

}  // namespace kestrum
