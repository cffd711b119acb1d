#include "stats/sort_order.hpp"

#include <algorithm>
#include <array>
#include <bit>

namespace kestrum::stats {

namespace {

// Maps a double to an unsigned key with the same order: flip all bits of negatives, only the sign
// bit of positives. Zeros share the key of +0.0 and NaNs go above everything.
std::uint64_t order_key(double x) {
    if (x != x) return kNaNKey;
    const std::uint64_t bits = x == 0.0 ? 0 : std::bit_cast<std::uint64_t>(x);
    const std::uint64_t mask = (bits >> 63) ? ~std::uint64_t{0} : (std::uint64_t{1} << 63);
    return bits ^ mask;
}

// Least-significant-digit radix sort: stable by construction, O(n) per digit, and a digit on
// which all keys agree is skipped.
constexpr int kDigitBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr int kDigits = (64 + kDigitBits - 1) / kDigitBits;
constexpr std::size_t kRadixMinSize = 256;

std::size_t digit(std::uint64_t key, int d) { return (key >> (d * kDigitBits)) & (kBuckets - 1); }

void radix_sort(Buffer<KeyedIndex>& items) {
    const std::size_t n = items.size();
    std::vector<std::array<std::size_t, kBuckets>> counts(kDigits);
    for (auto& c : counts) c.fill(0);
    for (const KeyedIndex& it : items)
        for (int d = 0; d < kDigits; ++d) ++counts[d][digit(it.key, d)];

    Buffer<KeyedIndex> scratch = Buffer<KeyedIndex>::uninit(n);
    for (int d = 0; d < kDigits; ++d) {
        auto& c = counts[d];
        if (c[digit(items[0].key, d)] == n) continue;
        std::size_t start = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::size_t len = c[b];
            c[b] = start;
            start += len;
        }
        for (const KeyedIndex& it : items) scratch[c[digit(it.key, d)]++] = it;
        std::swap(items, scratch);
    }
}

}  // namespace

Buffer<KeyedIndex> sort_order(std::span<const double> data) {
    const std::size_t n = data.size();
    Buffer<KeyedIndex> items = Buffer<KeyedIndex>::uninit(n);
    for (std::size_t i = 0; i < n; ++i) items[i] = {order_key(data[i]), i};
    if (n < kRadixMinSize) {
        // (key, index) pairs are all distinct: a strict total order, so an unstable sort is exact.
        std::sort(items.begin(), items.end(), [](const KeyedIndex& a, const KeyedIndex& b) {
            return a.key != b.key ? a.key < b.key : a.index < b.index;
        });
    } else {
        radix_sort(items);
    }
    return items;
}

}  // namespace kestrum::stats
