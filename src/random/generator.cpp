// Generator seeding, uniform draws and integer draws.
#include "random/generator.hpp"

#include <chrono>

#include "core/interrupt.hpp"

namespace kestrum {

namespace {

constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15ULL;

// SplitMix64 finaliser.
std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// r mod d for one d used many times, without a hardware division. With m = floor((2^64 - 1) / d),
// q = floor(r * m / 2^64) underestimates floor(r / d) by at most one (m * d lies in
// [2^64 - d, 2^64)), so r - q * d lies in [0, 2d) and one conditional subtraction finishes it.
// r - q * d never exceeds r, so it is exact in 64 bits even for d > 2^63.
struct ModuloByConstant {
    std::uint64_t d, m;

    explicit ModuloByConstant(std::uint64_t divisor) : d(divisor), m(UINT64_MAX / divisor) {}

    std::uint64_t operator()(std::uint64_t r) const {
        const auto q = static_cast<std::uint64_t>((static_cast<unsigned __int128>(r) * m) >> 64);
        const std::uint64_t rem = r - q * d;
        // Branch-free: for small d the correction is needed about half the time.
        return rem - (d & (std::uint64_t{0} - static_cast<std::uint64_t>(rem >= d)));
    }
};

// Fills `out` with low + (next_u64 mod (high - low)), passed through `convert`.
template <class T, class Convert>
NdArray<T> fill_randint(Generator& gen, std::int64_t low, std::int64_t high, const Shape& shape, Convert convert) {
    if (!(low < high)) panic("low must be less than high");
    // Unsigned range and wrapping addition make every pair of signed bounds work.
    const std::uint64_t base = static_cast<std::uint64_t>(low);
    const ModuloByConstant mod(static_cast<std::uint64_t>(high) - base);
    Buffer<T> out = Buffer<T>::uninit(shape.size());
    Generator g = gen;
    T* o = out.data();
    for_each_run(out.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) o[i] = convert(static_cast<std::int64_t>(base + mod(g.next_u64())));
    });
    gen = g;
    return NdArray<T>::create(shape, std::move(out));
}

}  // namespace

Generator Generator::from_seed(std::uint64_t seed) {
    return Generator{mix(seed + kGolden), mix(seed + 2 * kGolden), mix(seed + 3 * kGolden), mix(seed + 4 * kGolden)};
}

Generator Generator::from_clock() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
    if (ns < 0) panic("Time went backwards");
    return from_seed(static_cast<std::uint64_t>(ns));
}

Result<Generator> Generator::from_state(std::uint64_t s0, std::uint64_t s1, std::uint64_t s2, std::uint64_t s3) {
    if ((s0 | s1 | s2 | s3) == 0) return Error{"invalid generator state: all four words are zero"};
    return Generator{s0, s1, s2, s3};
}

ArrayF64 Generator::uniform(double low, double high, const Shape& shape) {
    if (!(low < high)) panic("low must be less than high");
    const double d = high - low;
    Buffer<double> out = Buffer<double>::uninit(shape.size());
    Generator g = *this;
    double* o = out.data();
    for_each_run(out.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) o[i] = g.next_f64() * d + low;
    });
    *this = g;
    return ArrayF64::create(shape, std::move(out));
}

ArrayI64 Generator::randint(std::int64_t low, std::int64_t high, const Shape& shape) {
    return fill_randint<std::int64_t>(*this, low, high, shape, [](std::int64_t v) { return v; });
}

ArrayF64 Generator::randint_f64(std::int64_t low, std::int64_t high, const Shape& shape) {
    return fill_randint<double>(*this, low, high, shape, [](std::int64_t v) { return static_cast<double>(v); });
}

}  // namespace kestrum
