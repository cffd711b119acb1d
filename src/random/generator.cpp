#include "random/generator.hpp"

#include <chrono>

namespace kestrum {

namespace {

constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15ULL;

std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
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

ArrayI64 Generator::randint(std::int64_t low, std::int64_t high, const Shape& shape) {
    if (!(low < high)) panic("low must be less than high");
    const std::uint64_t range = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
    Buffer<std::int64_t> out = Buffer<std::int64_t>::uninit(shape.size());
    for (std::int64_t& v : out)
        v = static_cast<std::int64_t>(static_cast<std::uint64_t>(low) + next_u64() % range);
    return ArrayI64::create(shape, std::move(out));
}

}  // namespace kestrum
