// xoshiro256** pseudo-random generator seeded through SplitMix64, and the samplers built on it.
//
// Every sampler consumes the sequence in a fixed order so that a seeded generator reproduces its
// arrays bit for bit. The fill loops copy the four state words into a local generator (kept in
// registers) and write them back once at the end, so a fill stopped by an interrupt leaves the
// generator as it was.
#pragma once

#include <cstdint>

#include "array/ndarray.hpp"

namespace kestrum {

struct Generator {
    std::uint64_t s0, s1, s2, s3;

    static Generator from_seed(std::uint64_t seed);
    // Seeded from the wall clock in nanoseconds since the Unix epoch (`new` in the design).
    static Generator from_clock();
    // A generator at a saved point of its stream. All-zero words are refused: seeding never
    // gives them and the sequence would stay at zero.
    static Result<Generator> from_state(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2, std::uint64_t s3);

    std::uint64_t next_u64() {
        const std::uint64_t result = rotl(s1 * 5, 7) * 9;
        const std::uint64_t t = s1 << 17;
        s2 ^= s0;
        s3 ^= s1;
        s1 ^= s2;
        s0 ^= s3;
        s2 ^= t;
        s3 = rotl(s3, 45);
        return result;
    }

    // One integer in [0, n) for n > 0, the draw `randint(0, n)` makes: next_u64 mod n.
    std::uint64_t next_below(std::uint64_t n) { return next_u64() % n; }

    // Uniform in [0, 1): the top 53 bits scaled by 2^-53.
    double next_f64() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

    // Samples are u * (high - low) + low; panics unless low < high.
    ArrayF64 uniform(double low, double high, const Shape& shape);

    // Integers in [low, high): low + (next_u64 mod (high - low)); panics unless low < high.
    ArrayI64 randint(std::int64_t low, std::int64_t high, const Shape& shape);
    // The same draws as `randint`, each converted to the nearest float64.
    ArrayF64 randint_f64(std::int64_t low, std::int64_t high, const Shape& shape);

    // Box-Muller with both outputs of every pair; an odd count keeps only the sine of the last.
    ArrayF64 standard_normal(const Shape& shape);
    // standard_normal samples z mapped to (z * sigma) + mu.
    ArrayF64 normal(double mu, double sigma, const Shape& shape);
    // exp of the `normal` samples.
    ArrayF64 lognormal(double mu, double sigma, const Shape& shape);

    // One gamma(a, 1) draw (Marsaglia-Tsang; a < 1 is boosted through a + 1). Requires a > 0.
    double sample_gamma_single(double a);
    // sample_gamma_single(shape_param) * scale per sample; panics unless both are positive.
    ArrayF64 gamma(double shape_param, double scale, const Shape& shape);
    // x / (x + y) with x ~ gamma(alpha), then y ~ gamma(beta_param); panics unless both positive.
    ArrayF64 beta(double alpha, double beta_param, const Shape& shape);

    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
};

}  // namespace kestrum
