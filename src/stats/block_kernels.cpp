// Counting, testing and compaction kernels: an AVX2 path and a portable one each.
#include "stats/block_kernels.hpp"

#include <immintrin.h>

#include <array>
#include <cstdint>
#include <limits>

#include "core/cpu.hpp"

namespace kestrum::stats {

namespace {

// ---- AVX2 ---------------------------------------------------------------------------------------

template <int kPred>
[[gnu::target("avx2")]] std::size_t count_avx2(const double* x, std::size_t n, double p) noexcept {
    const __m256d pv = _mm256_set1_pd(p);
    __m256i acc = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d v = _mm256_loadu_pd(x + i);
        // All-ones lanes are -1: subtracting counts them.
        acc = _mm256_sub_epi64(acc, _mm256_castpd_si256(_mm256_cmp_pd(v, kPred == _CMP_UNORD_Q ? v : pv, kPred)));
    }
    alignas(32) std::int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
    std::size_t c = static_cast<std::size_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]);
    for (; i < n; ++i) {
        if constexpr (kPred == _CMP_LT_OQ) c += x[i] < p;
        if constexpr (kPred == _CMP_LE_OQ) c += x[i] <= p;
        if constexpr (kPred == _CMP_UNORD_Q) c += x[i] != x[i];
    }
    return c;
}

template <int kPred>
[[gnu::target("avx2")]] bool any_avx2(const double* x, std::size_t n) noexcept {
    const __m256d zero = _mm256_setzero_pd();
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256d a = _mm256_cmp_pd(_mm256_loadu_pd(x + i), zero, kPred);
        const __m256d b = _mm256_cmp_pd(_mm256_loadu_pd(x + i + 4), zero, kPred);
        const __m256d c = _mm256_cmp_pd(_mm256_loadu_pd(x + i + 8), zero, kPred);
        const __m256d d = _mm256_cmp_pd(_mm256_loadu_pd(x + i + 12), zero, kPred);
        if (_mm256_movemask_pd(_mm256_or_pd(_mm256_or_pd(a, b), _mm256_or_pd(c, d)))) return true;
    }
    for (; i < n; ++i) {
        if constexpr (kPred == _CMP_EQ_OQ)
            if (x[i] == 0.0) return true;
        if constexpr (kPred == _CMP_NEQ_UQ)
            if (x[i] != 0.0) return true;
    }
    return false;
}

// Lane permutations (as pairs of 32-bit indices) moving the selected doubles of a 4-bit mask
// to the front.
constexpr std::array<std::array<int, 8>, 16> make_compaction_table() {
    std::array<std::array<int, 8>, 16> t{};
    for (int m = 0; m < 16; ++m) {
        int k = 0;
        for (int lane = 0; lane < 4; ++lane)
            if (m & (1 << lane)) {
                t[m][2 * k] = 2 * lane;
                t[m][2 * k + 1] = 2 * lane + 1;
                ++k;
            }
        for (; k < 4; ++k) t[m][2 * k] = t[m][2 * k + 1] = 0;
    }
    return t;
}

alignas(32) constexpr auto kCompaction = make_compaction_table();

[[gnu::target("avx2")]] std::size_t gather_avx2(const double* x, std::size_t n, const Bounds& b, double* out) noexcept {
    // A missing bound becomes an ordered test against an infinity, which passes every number.
    const __m256d lo = _mm256_set1_pd(b.has_low ? b.low : -std::numeric_limits<double>::infinity());
    const __m256d hi = _mm256_set1_pd(b.has_high ? b.high : std::numeric_limits<double>::infinity());
    const bool strict_lo = b.has_low, strict_hi = b.has_high;
    std::size_t k = 0, i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d v = _mm256_loadu_pd(x + i);
        const __m256d above = strict_lo ? _mm256_cmp_pd(v, lo, _CMP_GT_OQ) : _mm256_cmp_pd(v, lo, _CMP_GE_OQ);
        const __m256d below = strict_hi ? _mm256_cmp_pd(v, hi, _CMP_LT_OQ) : _mm256_cmp_pd(v, hi, _CMP_LE_OQ);
        const int m = _mm256_movemask_pd(_mm256_and_pd(above, below));
        const __m256i perm = _mm256_load_si256(reinterpret_cast<const __m256i*>(kCompaction[m].data()));
        _mm256_storeu_pd(out + k, _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(v), perm)));
        k += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(m)));
    }
    for (; i < n; ++i) {
        const double v = x[i];
        const bool in = v == v && (!b.has_low || v > b.low) && (!b.has_high || v < b.high);
        out[k] = v;
        k += in;
    }
    return k;
}

// ---- portable -----------------------------------------------------------------------------------

std::size_t gather_scalar(const double* x, std::size_t n, const Bounds& b, double* out) noexcept {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        const bool in = v == v && (!b.has_low || v > b.low) && (!b.has_high || v < b.high);
        out[k] = v;
        k += in;
    }
    return k;
}

}  // namespace

std::size_t count_less(const double* x, std::size_t n, double p) noexcept {
    if (has_avx2()) return count_avx2<_CMP_LT_OQ>(x, n, p);
    std::size_t c = 0;
    for (std::size_t i = 0; i < n; ++i) c += x[i] < p;
    return c;
}

std::size_t count_less_equal(const double* x, std::size_t n, double p) noexcept {
    if (has_avx2()) return count_avx2<_CMP_LE_OQ>(x, n, p);
    std::size_t c = 0;
    for (std::size_t i = 0; i < n; ++i) c += x[i] <= p;
    return c;
}

std::size_t count_nan(const double* x, std::size_t n) noexcept {
    if (has_avx2()) return count_avx2<_CMP_UNORD_Q>(x, n, 0.0);
    std::size_t c = 0;
    for (std::size_t i = 0; i < n; ++i) c += x[i] != x[i];
    return c;
}

bool any_zero(const double* x, std::size_t n) noexcept {
    if (has_avx2()) return any_avx2<_CMP_EQ_OQ>(x, n);
    for (std::size_t i = 0; i < n; ++i)
        if (x[i] == 0.0) return true;
    return false;
}

bool any_nonzero(const double* x, std::size_t n) noexcept {
    if (has_avx2()) return any_avx2<_CMP_NEQ_UQ>(x, n);
    for (std::size_t i = 0; i < n; ++i)
        if (x[i] != 0.0) return true;
    return false;
}

std::size_t gather(const double* x, std::size_t n, const Bounds& b, double* out) noexcept {
    return has_avx2() ? gather_avx2(x, n, b, out) : gather_scalar(x, n, b, out);
}

}  // namespace kestrum::stats
