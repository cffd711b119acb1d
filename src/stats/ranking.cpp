// Fractional ranks: a radix sort of the key bits, or a comparison sort for short or huge inputs.
#include "stats/ranking.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#include "core/buffer.hpp"
#include "core/interrupt.hpp"

namespace kestrum::stats {

namespace {

// An unsigned key with the order of the values: flip all bits of negatives, only the sign bit
// of positives. Zeros share the key of +0.0; NaNs get the largest key, above every number's.
constexpr std::uint64_t kNaNKey = ~std::uint64_t{0};

std::uint64_t order_key(double x) {
    if (x != x) return kNaNKey;
    const std::uint64_t bits = x == 0.0 ? 0 : std::bit_cast<std::uint64_t>(x);
    const std::uint64_t mask = (bits >> 63) ? ~std::uint64_t{0} : (std::uint64_t{1} << 63);
    return bits ^ mask;
}

double rank_of_run(std::size_t i, std::size_t j) { return static_cast<double>(i + 1 + j) * 0.5; }

struct KeyedIndex {
    std::uint64_t key;
    std::uint64_t index;
};

bool key_then_index(const KeyedIndex& a, const KeyedIndex& b) {
    return a.key != b.key ? a.key < b.key : a.index < b.index;
}

// Ranks the sorted items[0, len) whose first item sits at sorted position `offset`: runs of one
// key share a rank, except NaN keys, which are each a run of their own.
void rank_sorted(const KeyedIndex* items, std::size_t len, std::size_t offset, double* out) {
    for (std::size_t i = 0; i < len;) {
        std::size_t j = i + 1;
        if (items[i].key != kNaNKey)
            while (j < len && items[j].key == items[i].key) ++j;
        const double r = rank_of_run(offset + i, offset + j);
        for (std::size_t t = i; t < j; ++t) out[items[t].index] = r;
        i = j;
    }
}

// Small or huge inputs: sort (key, index) pairs, a strict total order.
void ranks_by_comparison(std::span<const double> data, double* out) {
    std::vector<KeyedIndex> items(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) items[i] = {order_key(data[i]), i};
    std::sort(items.begin(), items.end(), key_then_index);
    rank_sorted(items.data(), items.size(), 0, out);
}

// Large inputs: each element is one 64-bit word, its storage position in the low `shift` bits
// (just enough for n positions) and the top bits of its key above. A stable least-significant-
// digit radix sort on the key bits orders the words by (truncated key, position) with 8-byte
// moves only. Elements whose truncated keys agree - rare unless values are tied - are then
// ordered by their full keys run by run.
constexpr int kDigitBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr std::size_t kRadixMinSize = 256;
constexpr std::size_t kRankBlock = std::size_t{1} << 16;

void radix_sort_key_bits(Buffer<std::uint64_t>& words, int shift) {
    const std::size_t n = words.size();
    const int digits = (64 - shift + kDigitBits - 1) / kDigitBits;
    const auto digit = [shift](std::uint64_t w, int d) { return (w >> (shift + d * kDigitBits)) & (kBuckets - 1); };
    std::vector<std::array<std::size_t, kBuckets>> counts(static_cast<std::size_t>(digits));
    for (auto& c : counts) c.fill(0);
    const std::uint64_t* in = words.data();
    for_each_run(n, static_cast<std::uint64_t>(digits), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            for (int d = 0; d < digits; ++d) ++counts[d][digit(in[i], d)];
    });
    Buffer<std::uint64_t> scratch = Buffer<std::uint64_t>::uninit(n);
    for (int d = 0; d < digits; ++d) {
        auto& c = counts[d];
        if (c[digit(words[0], d)] == n) continue;  // every word has this digit
        std::size_t start = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::size_t len = c[b];
            c[b] = start;
            start += len;
        }
        const std::uint64_t* from = words.data();
        std::uint64_t* to = scratch.data();
        for_each_run(n, 4, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) to[c[digit(from[i], d)]++] = from[i];
        });
        std::swap(words, scratch);
    }
}

void ranks_by_radix(std::span<const double> data, double* out) {
    const std::size_t n = data.size();
    const int shift = std::bit_width(n - 1);
    const std::uint64_t position_mask = (std::uint64_t{1} << shift) - 1;
    Buffer<std::uint64_t> words = Buffer<std::uint64_t>::uninit(n);
    for (std::size_t i = 0; i < n; ++i) words[i] = (order_key(data[i]) & ~position_mask) | i;
    radix_sort_key_bits(words, shift);

    std::vector<KeyedIndex> run;
    InterruptCheck check;
    // Blocks of positions with a look for an interrupt after each (a run may reach past its block).
    for (std::size_t i = 0; i < n;) {
        const std::size_t block_end = n - i < kRankBlock ? n : i + kRankBlock;
        const std::size_t block_start = i;
        while (i < block_end) {
            const std::uint64_t truncated = words[i] & ~position_mask;
            std::size_t j = i + 1;
            while (j < n && (words[j] & ~position_mask) == truncated) ++j;
            if (j == i + 1) {
                out[words[i] & position_mask] = rank_of_run(i, j);
            } else {
                run.clear();
                for (std::size_t t = i; t < j; ++t) {
                    const std::uint64_t index = words[t] & position_mask;
                    run.push_back({order_key(data[index]), index});
                }
                // Already in key order when the run is one tie (or all NaN): positions ascend.
                const auto by_key = [](const KeyedIndex& a, const KeyedIndex& b) { return a.key < b.key; };
                if (!std::is_sorted(run.begin(), run.end(), by_key)) std::sort(run.begin(), run.end(), key_then_index);
                rank_sorted(run.data(), run.size(), i, out);
            }
            i = j;
        }
        check.tick(4 * (i - block_start));
    }
}

}  // namespace

void fractional_ranks(std::span<const double> data, double* out) {
    if (data.size() < kRadixMinSize || data.size() > (std::uint64_t{1} << 40)) ranks_by_comparison(data, out);
    else ranks_by_radix(data, out);
}

}  // namespace kestrum::stats
