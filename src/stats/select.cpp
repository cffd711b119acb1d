// Order statistics by selection, matching the stable sorted copy rank by rank.
#include "stats/select.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/buffer.hpp"
#include "core/interrupt.hpp"
#include "stats/block_kernels.hpp"

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
    if (!offsets.empty())
        assign_nth_matches(
            data, [](double x) { return x == 0.0; }, offsets, targets);
}

// Places the values of the requested ranks (relative to v) at their sorted positions in
// [lo, hi), each step partitioning around the middle requested rank.
void select_ranks_recursive(double* v, std::size_t lo, std::size_t hi, std::span<const std::size_t> ranks,
                            InterruptCheck& check) {
    if (ranks.empty()) return;
    const std::size_t mid = ranks.size() / 2;
    const std::size_t r = ranks[mid];
    check.tick(8 * (hi - lo));
    std::nth_element(v + lo, v + r, v + hi);
    select_ranks_recursive(v, lo, r, ranks.first(mid), check);
    select_ranks_recursive(v, r + 1, hi, ranks.subspan(mid + 1), check);
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
    InterruptCheck check;
    select_ranks_recursive(v.data(), 0, m, ranks.first(below), check);
    for (std::size_t t = 0; t < ranks.size(); ++t)
        out[t] = ranks[t] < m ? v[ranks[t]] : std::numeric_limits<double>::quiet_NaN();
    restore_storage_order(data, ranks, out, m);
}

// Fast path for a few ranks of a large array. A sample of about n^(2/3) elements gives, for each
// wanted rank, two pivots that very likely enclose it. One pass then sorts every element into
// classes in rank order - below the first pivot, equal to it, strictly between it and the next,
// ... above the last pivot, NaN - counting each class and gathering only the classes strictly
// inside a pivot pair. A wanted rank that lands in an "equal to pivot" class is that pivot (this
// is what makes heavy ties cheap); one that lands in a gathered class is selected there. Reports
// false (the caller then partitions everything) when a gathered class outgrows its capacity or a
// wanted rank lands in a class that was only counted.
constexpr std::size_t kSampleMinSize = 1 << 13;
constexpr std::size_t kChunk = 512;
constexpr std::size_t kMaxWindows = 8;

struct SampleRng {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
};

// Numbers of a sample of `count` elements, one at a random place in each of equal strides.
std::vector<double> draw_sample(std::span<const double> data, std::size_t count) {
    const std::size_t stride = data.size() / count;
    std::vector<double> sample;
    sample.reserve(count);
    SampleRng rng{0x5eed};
    for (std::size_t i = 0; i < count; ++i) {
        const double x = data[i * stride + rng.next() % stride];
        if (!is_nan(x)) sample.push_back(x);
    }
    return sample;
}

// A run of wanted ranks and the sample positions that enclose it.
struct Window {
    double lo_pos, hi_pos;
};

// Sample positions around the wanted ranks: the sample rank of population fraction p has a
// standard deviation of sqrt(s p (1 - p)); four of them on each side. Windows that overlap or
// nearly touch merge, so no pivot of one window falls inside another.
std::vector<Window> windows_for(std::span<const std::size_t> ranks, std::size_t n, std::size_t s) {
    std::vector<Window> windows;
    for (std::size_t r : ranks) {
        const double p = (static_cast<double>(r) + 0.5) / static_cast<double>(n);
        const double spread = 4.0 * std::sqrt(static_cast<double>(s) * p * (1.0 - p)) + 2.0;
        const double centre = p * static_cast<double>(s);
        Window w{centre - spread, centre + spread};
        if (!windows.empty() && w.lo_pos <= windows.back().hi_pos + 1.0)
            windows.back().hi_pos = std::max(windows.back().hi_pos, w.hi_pos);
        else windows.push_back(w);
    }
    return windows;
}

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// The elements strictly between two pivots (a missing pivot is no bound), in storage order.
struct Band {
    std::size_t cls = 0;
    Bounds bounds{};
    Buffer<double> values;
    std::size_t capacity = 0, length = 0;

    // False when the chunk might not fit.
    bool gather_from(const double* x, std::size_t len) {
        if (length + len > capacity) return false;
        length += gather(x, len, bounds, values.data() + length);
        return true;
    }
};

bool select_by_sampling(std::span<const double> data, std::span<const std::size_t> ranks, std::span<double> out) {
    const std::size_t n = data.size();
    const double nd = static_cast<double>(n);
    const std::size_t s_total = std::min<std::size_t>(n / 8, static_cast<std::size_t>(std::cbrt(nd) * std::cbrt(nd)));
    std::vector<double> sample = draw_sample(data, s_total);
    const std::size_t s = sample.size();
    const std::vector<Window> windows = windows_for(ranks, n, s_total);
    if (windows.size() > kMaxWindows) return false;

    // Pivots: sample elements at the window edges (none below position 0 or beyond the sample).
    std::vector<std::size_t> low_at(windows.size(), kNone), high_at(windows.size(), kNone), picks;
    for (std::size_t w = 0; w < windows.size(); ++w) {
        if (windows[w].lo_pos > 0.0 && windows[w].lo_pos < static_cast<double>(s))
            picks.push_back(low_at[w] = static_cast<std::size_t>(windows[w].lo_pos));
        if (windows[w].hi_pos < static_cast<double>(s) - 1.0)
            picks.push_back(high_at[w] = static_cast<std::size_t>(std::max(windows[w].hi_pos, 0.0)) + 1);
    }
    std::sort(picks.begin(), picks.end());
    picks.erase(std::unique(picks.begin(), picks.end()), picks.end());
    InterruptCheck check;
    select_ranks_recursive(sample.data(), 0, s, picks, check);
    std::vector<double> pivots;  // distinct values, ascending
    for (std::size_t i : picks)
        if (pivots.empty() || pivots.back() < sample[i]) pivots.push_back(sample[i]);
    const std::size_t u = pivots.size();
    const auto pivot_index = [&](std::size_t at) {
        return static_cast<std::size_t>(std::lower_bound(pivots.begin(), pivots.end(), sample[at]) - pivots.begin());
    };

    // Classes: 2c = strictly between pivot c-1 and pivot c, 2c+1 = equal to pivot c, 2u+1 = NaN.
    // Window w gathers the one class strictly between its two pivots (none when they are equal).
    const std::size_t classes = 2 * u + 2;
    std::vector<Band> bands;
    for (std::size_t w = 0; w < windows.size(); ++w) {
        Band b;
        const bool has_low = low_at[w] != kNone, has_high = high_at[w] != kNone;
        const std::size_t first = has_low ? pivot_index(low_at[w]) + 1 : 0;
        const std::size_t last = has_high ? pivot_index(high_at[w]) : u;
        if (first != last) continue;
        b.cls = 2 * first;
        b.bounds = {has_low, has_high, has_low ? pivots[first - 1] : 0.0, has_high ? pivots[first] : 0.0};
        const double lo = std::max(windows[w].lo_pos, 0.0), hi = std::min(windows[w].hi_pos, double(s_total));
        const double expected = (hi - lo) / static_cast<double>(s_total) * nd;
        b.capacity = std::min(n, static_cast<std::size_t>(3.0 * expected) + 2 * kChunk);
        b.values = Buffer<double>::uninit(b.capacity);
        bands.push_back(std::move(b));
    }

    std::vector<std::size_t> below(u, 0), at_most(u, 0);
    std::size_t nans = 0;
    for (std::size_t i = 0; i < n; i += kChunk) {
        const double* x = data.data() + i;
        const std::size_t len = std::min(kChunk, n - i);
        for (std::size_t t = 0; t < u; ++t) {
            below[t] += count_less(x, len, pivots[t]);
            at_most[t] += count_less_equal(x, len, pivots[t]);
        }
        nans += count_nan(x, len);
        for (Band& b : bands)
            if (!b.gather_from(x, len)) return false;
        check.tick(len * (u + 1));
    }
    const std::size_t numbers = n - nans;

    std::vector<std::size_t> start(classes + 1, 0);
    for (std::size_t c = 0; c < classes; ++c) {
        const std::size_t t = c / 2;
        std::size_t size;
        if (c == classes - 1) size = nans;
        else if (c % 2 == 1) size = at_most[t] - below[t];
        else size = (t < u ? below[t] : numbers) - (t > 0 ? at_most[t - 1] : 0);
        start[c + 1] = start[c] + size;
    }
    std::vector<const Band*> band_of(classes, nullptr);
    for (const Band& b : bands) {
        if (b.length != start[b.cls + 1] - start[b.cls]) return false;  // cannot happen: same tests
        band_of[b.cls] = &b;
    }

    // Place every wanted rank; selections inside one band are done together.
    std::vector<std::size_t> class_of(ranks.size());
    for (std::size_t t = 0; t < ranks.size(); ++t) {
        const std::size_t c =
            static_cast<std::size_t>(std::upper_bound(start.begin(), start.end(), ranks[t]) - start.begin()) - 1;
        class_of[t] = c;
        if (c == classes - 1) out[t] = std::numeric_limits<double>::quiet_NaN();
        else if (c % 2 == 1) out[t] = pivots[c / 2];
        else if (!band_of[c]) return false;
    }
    std::vector<std::size_t> local;
    for (std::size_t t = 0; t < ranks.size();) {
        const std::size_t c = class_of[t];
        std::size_t e = t + 1;
        while (e < ranks.size() && class_of[e] == c) ++e;
        if (c % 2 == 0) {
            local.clear();
            for (std::size_t v = t; v < e; ++v) local.push_back(ranks[v] - start[c]);
            // The band keeps storage order, so the same selection applies to it (sampling again
            // while it is large).
            values_at_ranks({band_of[c]->values.data(), band_of[c]->length}, local, out.subspan(t, e - t));
        }
        t = e;
    }
    restore_storage_order(data, ranks, out, numbers);
    return true;
}

}  // namespace

void values_at_ranks(std::span<const double> data, std::span<const std::size_t> ranks, std::span<double> out) {
    if (ranks.empty()) return;
    if (data.size() >= kSampleMinSize && ranks.size() <= 2 * kMaxWindows && select_by_sampling(data, ranks, out))
        return;
    select_by_partition(data, ranks, out);
}

}  // namespace kestrum::stats
