// xoshiro256** pseudo-random generator seeded through SplitMix64, and the samplers built on it.
#pragma once

#include <cstdint>

#include "array/ndarray.hpp"

namespace kestrum {

struct Generator {
    std::uint64_t s0, s1, s2, s3;

    static Generator from_seed(std::uint64_t seed);
    // Seeded from the wall clock in nanoseconds since the Unix epoch (`new` in the design).
    static Generator from_clock();

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

    // Uniform in [0, 1): the top 53 bits scaled by 2^-53.
    double next_f64() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

    // Integers in [low, high): low + (next_u64 mod (high - low)); panics unless low < high.
    ArrayI64 randint(std::int64_t low, std::int64_t high, const Shape& shape);

    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
};

}  // namespace kestrum
