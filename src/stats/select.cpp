#include "stats/select.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "array/buffer.hpp"

namespace kestrum::stats {

namespace {

bool is_nan(double x) { return x != x; }

// Among numbers, equal values differ in bits only for 0.0 and -0.0, so `<` alone is a strict
// weak order on NaN-free data (the only order std::nth_element may be given).
// Selection therefore runs on numbers only and these fix-ups restore the exact bits:
// - a zero at rank k is the (k - #negatives)-th zero in storage order;
// - rank k >= m (m = count of numbers) holds the (k - m)-th NaN in storage order.

// For ascending `offsets`, writes into *targets[t] the offsets[t]-th element matching `pred`.
template <class Pred>
void assign_nth_matches(std::span<const double> data, Pred pred, std::span<const std::size_t> offsets,
                        std::span<double* const> targets) {
    std::size_t t = 0, seen = 0;
    for (std::size_t i = 0; i < data.size() && t < offsets.size(); ++i) {
        if (!pred(data[i])) continue;
        while (t < offsets.size() && offsets[t] == seen) *targets[t++] = data[i];
        ++seen;
    }
}

void restore_storage_order(std::span<const double> data, std::span<const std::size_t> ranks, std::span<double> out,
                           std::size_t numbers) {
    std::vector<std::size_t> offsets;
    std::vector<double*> targets;
    for (std::size_t t = 0; t < ranks.size(); ++t)
        if (ranks[t] >= numbers) {
            offsets.push_back(ranks[t] - numbers);
            targets.push_back(&out[t]);
        }
    if (!offsets.empty()) assign_nth_matches(data, is_nan, offsets, targets);

    offsets.clear();
    targets.clear();
    std::size_t negatives = 0;
    bool counted = false;
    for (std::size_t t = 0; t < ranks.size(); ++t) {
        if (ranks[t] >= numbers || out[t] != 0.0) continue;
        if (!counted) {
            for (double x : data) negatives += x < 0.0;
            counted = true;
        }
        offsets.push_back(ranks[t] - negatives);
        targets.push_back(&out[t]);
    }
    if (!offsets.empty()) assign_nth_matches(data, [](double x) { return x == 0.0; }, offsets, targets);
}

// Places the values of the requested ranks (relative to v) at their sorted positions in
// [lo, hi), each step partitioning around the middle requested rank.
void select_ranks_recursive(double* v, std::size_t lo, std::size_t hi, std::span<const std::size_t> ranks) {
    if (ranks.empty()) return;
    const std::size_t mid = ranks.size() / 2;
    const std::size_t r = ranks[mid];
    std::nth_element(v + lo, v + r, v + hi);
    select_ranks_recursive(v, lo, r, ranks.first(mid));
    select_ranks_recursive(v, r + 1, hi, ranks.subspan(mid + 1));
}

// General path: copy the numbers, partition around every requested rank.
void select_by_partition(std::span<const double> data, std::span<const std::size_t> ranks, std::span<double> out) {
    Buffer<double> v = Buffer<double>::uninit(data.size());
    std::size_t m = 0;
    for (double x : data) {
        v[m] = x;
        m += !is_nan(x);
    }
    const std::size_t below = static_cast<std::size_t>(std::lower_bound(ranks.begin(), ranks.end(), m) - ranks.begin());
    select_ranks_recursive(v.data(), 0, m, ranks.first(below));
    for (std::size_t t = 0; t < ranks.size(); ++t)
        out[t] = ranks[t] < m ? v[ranks[t]] : std::numeric_limits<double>::quiet_NaN();
    restore_storage_order(data, ranks, out, m);
}

// Fast path for one rank or two neighbouring ranks of a large array: pick two pivots from a
// sample so that the wanted ranks very likely fall between them, then one pass counts the
// elements below the lower pivot and gathers those between the pivots into a small band, where
// the selection finishes. Reports false (and the caller partitions everything) when the sample
// holds NaN, the band overflows its capacity, or the wanted ranks are not inside the band.
constexpr std::size_t kBandMinSize = 1 << 13;
constexpr std::size_t kChunk = 512;

struct SampleRng {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
};

bool select_in_band(std::span<const double> data, std::span<const std::size_t> ranks, std::span<double> out) {
    const std::size_t n = data.size();
    const std::size_t first = ranks.front(), last = ranks.back();

    // Sample about n^(2/3) elements, one at a random place in each of equal strides.
    const double nd = static_cast<double>(n);
    const std::size_t s = std::min<std::size_t>(n / 8, static_cast<std::size_t>(std::cbrt(nd) * std::cbrt(nd)));
    const std::size_t stride = n / s;
    Buffer<double> sample = Buffer<double>::uninit(s);
    SampleRng rng{0x5eed};
    for (std::size_t i = 0; i < s; ++i) {
        const double x = data[i * stride + rng.next() % stride];
        if (is_nan(x)) return false;
        sample[i] = x;
    }

    // The sample rank of a population rank has a standard deviation of at most sqrt(s)/2;
    // pivots four deviations away miss the wanted ranks with negligible probability.
    const double spread = 2.0 * std::sqrt(static_cast<double>(s));
    const double lo_pos = static_cast<double>(first) / nd * static_cast<double>(s) - spread;
    const double hi_pos = static_cast<double>(last + 1) / nd * static_cast<double>(s) + spread;
    double low = -std::numeric_limits<double>::infinity();
    double high = std::numeric_limits<double>::infinity();
    std::size_t lo_i = 0;
    if (lo_pos > 0.0) {
        lo_i = static_cast<std::size_t>(lo_pos);
        std::nth_element(sample.begin(), sample.begin() + lo_i, sample.end());
        low = sample[lo_i];
    }
    if (hi_pos < static_cast<double>(s - 1)) {
        const std::size_t hi_i = std::max(static_cast<std::size_t>(hi_pos), lo_i);
        std::nth_element(sample.begin() + lo_i, sample.begin() + hi_i, sample.end());
        high = sample[hi_i];
    }

    const double expected = (std::min(hi_pos, double(s)) - std::max(lo_pos, 0.0)) / double(s) * nd;
    const std::size_t cap = std::min(n, static_cast<std::size_t>(3.0 * expected) + 2 * kChunk);
    Buffer<double> band = Buffer<double>::uninit(cap);
    std::size_t below = 0, len = 0;
    for (std::size_t i = 0; i < n; i += kChunk) {
        const std::size_t end = std::min(n, i + kChunk);
        if (len + (end - i) > cap) return false;
        for (std::size_t j = i; j < end; ++j) {
            const double x = data[j];
            below += x < low;
            band[len] = x;
            len += (x >= low) & (x <= high);
        }
    }
    if (first < below || last >= below + len) return false;

    double* v = band.data();
    const std::size_t k = first - below;
    std::nth_element(v, v + k, v + len);
    out[0] = v[k];
    if (ranks.size() == 2) out[1] = *std::min_element(v + k + 1, v + len);
    restore_storage_order(data, ranks, out, n);
    return true;
}

}  // namespace

void values_at_ranks(std::span<const double> data, std::span<const std::size_t> ranks, std::span<double> out) {
    if (ranks.empty()) return;
    const bool narrow = ranks.size() <= 2 && ranks.back() - ranks.front() <= 1;
    if (narrow && data.size() >= kBandMinSize && select_in_band(data, ranks, out)) return;
    select_by_partition(data, ranks, out);
}

}  // namespace kestrum::stats
