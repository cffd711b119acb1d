// Continuous distributions built on next_f64: Box-Muller normals and Marsaglia-Tsang gammas.
#include <algorithm>
#include <cmath>

#include "core/interrupt.hpp"
#include "random/generator.hpp"
#include "vmath/vmath.hpp"

namespace kestrum {

namespace {

constexpr double kTwoPi = 6.283185307179586;

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

// Interrupt-check units per sample: a normal costs a logarithm and a sine-cosine pair, a gamma
// about twice that (see InterruptCheck; a unit is about a nanosecond).
constexpr std::uint64_t kNormalCost = 16, kGammaCost = 32;

// Fills out[0, n) with standard normal samples, each passed through `post`, and then each block
// through `finish` (lognormal's exponentials, taken a run at a time). sincos gives the same bits
// as separate sin and cos on the supported platform (checked by the tests against them). The
// logarithms stay one call per pair: their latency hides under sincos, and a separate run of
// them measured slower.
template <class Post, class Finish>
void fill_standard_normal(Generator& gen, double* out, std::size_t n, Post post, Finish finish) {
    Generator g = gen;
    InterruptCheck check;
    const std::size_t pairs = n / 2;
    for (std::size_t start = 0; start < pairs; start += kPairBlock) {
        const std::size_t m = std::min(kPairBlock, pairs - start);
        check.tick(2 * m * kNormalCost);
        double* p = out + 2 * start;
        for (std::size_t k = 0; k < 2 * m; ++k) p[k] = nonzero_f64(g);
        for (std::size_t k = 0; k < m; ++k) {
            const double r = std::sqrt(std::log(p[2 * k]) * -2.0);
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
inline double marsaglia_tsang(Generator& g, double d, double c) {
    for (;;) {
        double x, v;
        do {
            const double u1 = g.next_f64();
            const double u2 = g.next_f64();
            // The square root's latency overlaps the cosine call when it is issued first.
            const double r = std::sqrt(std::log(u1) * -2.0);
            x = std::cos(u2 * kTwoPi) * r;
            v = c * x + 1.0;
        } while (!(v > 0.0));  // NaN repeats too
        v = (v * v) * v;
        const double u = g.next_f64();
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

    double operator()(Generator& g) const {
        const double x = marsaglia_tsang(g, d, c);
        if (!boosted) return x;
        const double u = g.next_f64();
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
    const double x = GammaSampler(a)(g);
    *this = g;
    return x;
}

ArrayF64 Generator::gamma(double shape_param, double scale, const Shape& shape) {
    if (!(shape_param > 0.0)) panic("shape parameter must be positive");
    if (!(scale > 0.0)) panic("scale must be positive");
    const GammaSampler sample(shape_param);
    Buffer<double> out = Buffer<double>::uninit(shape.size());
    Generator g = *this;
    InterruptCheck check;
    for (double& v : out) {
        v = sample(g) * scale;
        check.tick(kGammaCost);
    }
    *this = g;
    return ArrayF64::create(shape, std::move(out));
}

ArrayF64 Generator::beta(double alpha, double beta_param, const Shape& shape) {
    if (!(alpha > 0.0)) panic("alpha must be positive");
    if (!(beta_param > 0.0)) panic("beta must be positive");
    const GammaSampler sample_x(alpha), sample_y(beta_param);
    Buffer<double> out = Buffer<double>::uninit(shape.size());
    Generator g = *this;
    InterruptCheck check;
    for (double& v : out) {
        const double x = sample_x(g);
        const double y = sample_y(g);
        v = x / (x + y);
        check.tick(2 * kGammaCost);
    }
    *this = g;
    return ArrayF64::create(shape, std::move(out));
}

}  // namespace kestrum
