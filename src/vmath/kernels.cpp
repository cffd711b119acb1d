// AVX-512 and AVX2 exp and log that redo, operation for operation, the C library's scalar exp and log
// (its FMA variant): a fused multiply-add exactly where that build has one, a separate multiply
// and add everywhere else. Lanes the vector code does not own are recomputed by the scalar call.
//
// Never let the compiler contract a separate multiply and add here: one contracted site (the
// subnormal-bound `s + s * tmp` below) is enough to change results. The flag is set for the whole
// project; the pragma keeps this file right even if it is compiled without it.
#pragma GCC optimize("fp-contract=off")
// GCC 12 reports the intrinsics' deliberately undefined start values as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <immintrin.h>

#include <cmath>
#include <cstdint>

#include "vmath/kernels.hpp"
#include "vmath/tables.hpp"

namespace kestrum::vmath {

namespace {

#define KESTRUM_AVX512 gnu::target("avx512f,avx512dq,avx2,fma")

using namespace data;

[[KESTRUM_AVX512, gnu::always_inline]] inline __m512d splat(double v) { return _mm512_set1_pd(v); }
[[KESTRUM_AVX512, gnu::always_inline]] inline __m512i splat_u64(std::uint64_t v) {
    return _mm512_set1_epi64(static_cast<long long>(v));
}

// lo[j] = table[idx2[j]], hi[j] = table[idx2[j] + 1]. Two gathers measured faster here than
// eight 16-byte pair loads and a de-interleave, under load especially.
[[KESTRUM_AVX512, gnu::always_inline]] inline void load_pairs(const double* table, __m512i idx2, __m512d* lo,
                                                              __m512d* hi) {
    *lo = _mm512_i64gather_pd(idx2, table, 8);
    *hi = _mm512_i64gather_pd(_mm512_add_epi64(idx2, splat_u64(1)), table, 8);
}

// exp of eight lanes. *scalar marks the lanes to recompute with the scalar call: NaN, +-inf,
// |x| >= 1024, and results that overflow or are subnormal or zero (the call also sets errno).
[[KESTRUM_AVX512, gnu::always_inline]] inline __m512d exp8(__m512d x, __mmask8* scalar) {
    const __m512i abstop = _mm512_and_si512(_mm512_srli_epi64(_mm512_castpd_si512(x), 52), splat_u64(0x7ff));
    const __mmask8 tiny = _mm512_cmplt_epu64_mask(abstop, splat_u64(0x3c9));  // |x| < 2^-54: 1 + x
    const __mmask8 big = _mm512_cmpeq_epi64_mask(abstop, splat_u64(0x408));   // 512 <= |x| < 1024
    __mmask8 out = _mm512_cmpgt_epu64_mask(abstop, splat_u64(0x408));
    __m512d kd = _mm512_fmadd_pd(x, splat(kExpInvLn2N), splat(kExpShift));
    const __m512i ki = _mm512_castpd_si512(kd);
    kd = _mm512_sub_pd(kd, splat(kExpShift));
    __m512d r = _mm512_fmadd_pd(kd, splat(kExpNegLn2HiN), x);
    r = _mm512_fmadd_pd(kd, splat(kExpNegLn2LoN), r);
    __m512d tail, sb;
    load_pairs(reinterpret_cast<const double*>(kExpTable), _mm512_slli_epi64(_mm512_and_si512(ki, splat_u64(127)), 1),
               &tail, &sb);
    const __m512i sbits = _mm512_add_epi64(_mm512_castpd_si512(sb), _mm512_slli_epi64(ki, 45));
    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d t = _mm512_fmadd_pd(_mm512_fmadd_pd(r, splat(kExpC3), splat(kExpC2)), r2, _mm512_add_pd(r, tail));
    const __m512d tmp = _mm512_fmadd_pd(_mm512_mul_pd(r2, r2), _mm512_fmadd_pd(r, splat(kExpC5), splat(kExpC4)), t);
    const __m512d scale = _mm512_castsi512_pd(sbits);
    __m512d y = _mm512_fmadd_pd(scale, tmp, scale);
    if (big) {
        // The scale would leave the exponent range: rebias by 2^1009 or 2^-1022 and scale back.
        const __mmask8 kpos = _mm512_testn_epi64_mask(ki, splat_u64(0x80000000));
        const __m512d sp = _mm512_castsi512_pd(_mm512_sub_epi64(sbits, splat_u64(1009ULL << 52)));
        const __m512d yp = _mm512_mul_pd(_mm512_fmadd_pd(sp, tmp, sp), splat(0x1p1009));
        const __m512d sn = _mm512_castsi512_pd(_mm512_add_epi64(sbits, splat_u64(1022ULL << 52)));
        const __m512d yn = _mm512_add_pd(sn, _mm512_mul_pd(sn, tmp));  // not fused: the product is reused there
        const __mmask8 below = big & ~kpos & _mm512_cmp_pd_mask(yn, splat(1.0), _CMP_NGE_UQ);
        const __mmask8 above = big & kpos & _mm512_cmp_pd_mask(yp, splat(INFINITY), _CMP_EQ_OQ);
        out |= below | above;
        y = _mm512_mask_blend_pd(big, y, _mm512_mask_blend_pd(kpos, _mm512_mul_pd(yn, splat(0x1p-1022)), yp));
    }
    *scalar = out;
    return _mm512_mask_blend_pd(tiny, y, _mm512_add_pd(splat(1.0), x));
}

// c[0] + s c[1] + s^2 c[2], fused as s^2 c[2] + (s c[1] + c[0]).
[[KESTRUM_AVX512, gnu::always_inline]] inline __m512d poly2(__m512d s, __m512d s2, const double* c) {
    return _mm512_fmadd_pd(s2, splat(c[2]), _mm512_fmadd_pd(s, splat(c[1]), splat(c[0])));
}

// log of eight lanes. *scalar marks x <= 0, subnormal x, +inf and NaN.
[[KESTRUM_AVX512, gnu::always_inline]] inline __m512d log8(__m512d x, __mmask8* scalar) {
    const __m512i ix = _mm512_castpd_si512(x);
    const __m512i top = _mm512_srli_epi64(ix, 48);
    *scalar = _mm512_cmpge_epu64_mask(_mm512_sub_epi64(top, splat_u64(0x10)), splat_u64(0x7ff0 - 0x10));
    const __mmask8 near1 =
        _mm512_cmplt_epu64_mask(_mm512_sub_epi64(ix, splat_u64(kLogNearLo)), splat_u64(kLogNearSpan));
    const __m512i tmp = _mm512_sub_epi64(ix, splat_u64(kLogOff));
    const __m512d kd = _mm512_cvtepi64_pd(_mm512_srai_epi64(tmp, 52));
    const __m512d z = _mm512_castsi512_pd(_mm512_sub_epi64(ix, _mm512_and_si512(tmp, splat_u64(0xfffULL << 52))));
    __m512d invc, logc;
    load_pairs(kLogTable, _mm512_slli_epi64(_mm512_and_si512(_mm512_srli_epi64(tmp, 45), splat_u64(127)), 1), &invc,
               &logc);
    const __m512d r = _mm512_fmadd_pd(z, invc, splat(-1.0));
    const __m512d w = _mm512_fmadd_pd(kd, splat(kLogLn2Hi), logc);
    const __m512d hi = _mm512_add_pd(w, r);
    const __m512d lo = _mm512_fmadd_pd(kd, splat(kLogLn2Lo), _mm512_add_pd(_mm512_sub_pd(w, hi), r));
    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d q = _mm512_fmadd_pd(_mm512_fmadd_pd(r, splat(kLogA[4]), splat(kLogA[3])), r2,
                                      _mm512_fmadd_pd(r, splat(kLogA[2]), splat(kLogA[1])));
    __m512d y = _mm512_add_pd(_mm512_fmadd_pd(_mm512_mul_pd(r, r2), q, _mm512_fmadd_pd(r2, splat(kLogA[0]), lo)), hi);
    if (near1) {
        // 1 - 2^-4 <= x < 1 + 0x1.09p-4: a longer polynomial in r = x - 1 with r^2/2 split exactly.
        const double* B = kLogB;
        const __m512d s = _mm512_sub_pd(x, splat(1.0));
        const __m512d s2 = _mm512_mul_pd(s, s);
        const __m512d s3 = _mm512_mul_pd(s, s2);
        const __m512d p7 = _mm512_fmadd_pd(s3, splat(B[10]), poly2(s, s2, B + 7));
        const __m512d p4 = _mm512_fmadd_pd(p7, s3, poly2(s, s2, B + 4));
        const __m512d p1 = _mm512_fmadd_pd(p4, s3, poly2(s, s2, B + 1));
        const __m512d t = _mm512_fmadd_pd(s, splat(0x1p27), s);
        const __m512d shi = _mm512_fnmadd_pd(splat(0x1p27), s, t);
        const __m512d slo = _mm512_sub_pd(s, shi);
        const __m512d shi2 = _mm512_mul_pd(shi, shi);
        const __m512d h = _mm512_fmadd_pd(shi2, splat(B[0]), s);
        __m512d l = _mm512_fmadd_pd(shi2, splat(B[0]), _mm512_sub_pd(s, h));
        l = _mm512_fmadd_pd(_mm512_mul_pd(splat(B[0]), slo), _mm512_add_pd(shi, s), l);
        const __m512d y1 = _mm512_add_pd(h, _mm512_fmadd_pd(p1, s3, l));
        y = _mm512_mask_blend_pd(near1, y, y1);
        y = _mm512_mask_blend_pd(_mm512_cmpeq_epi64_mask(ix, splat_u64(0x3ff0000000000000)), y, splat(0.0));
    }
    return y;
}

// dst[j] = Scalar(x[j]) for the lanes set in mask.
template <double (*Scalar)(double)>
[[KESTRUM_AVX512, gnu::noinline]] void patch(double* dst, __m512d x, unsigned mask) {
    alignas(64) double xs[8];
    _mm512_store_pd(xs, x);
    for (; mask; mask &= mask - 1) {
        const unsigned j = static_cast<unsigned>(__builtin_ctz(mask));
        dst[j] = Scalar(xs[j]);
    }
}

// dst[i] = f(src[i]) sixteen lanes at a time, then a masked tail (padded with `pad`, an input the
// kernel owns). Flagged lanes are recomputed from a saved copy of the input, so dst may be src.
template <__m512d (*Kernel)(__m512d, __mmask8*), double (*Scalar)(double)>
[[KESTRUM_AVX512, gnu::always_inline]] inline void run(double* dst, const double* src, std::size_t n, double pad) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __mmask8 m0, m1;
        const __m512d x0 = _mm512_loadu_pd(src + i);
        const __m512d x1 = _mm512_loadu_pd(src + i + 8);
        _mm512_storeu_pd(dst + i, Kernel(x0, &m0));
        _mm512_storeu_pd(dst + i + 8, Kernel(x1, &m1));
        if (m0 | m1) [[unlikely]] {
            patch<Scalar>(dst + i, x0, m0);
            patch<Scalar>(dst + i + 8, x1, m1);
        }
    }
    for (; i < n; i += 8) {
        const __mmask8 valid = n - i >= 8 ? 0xff : static_cast<__mmask8>((1u << (n - i)) - 1);
        __mmask8 m;
        const __m512d x = _mm512_mask_loadu_pd(splat(pad), valid, src + i);
        _mm512_mask_storeu_pd(dst + i, valid, Kernel(x, &m));
        if (m & valid) [[unlikely]]
            patch<Scalar>(dst + i, x, m & valid);
    }
}

double scalar_exp(double x) { return ::exp(x); }
double scalar_log(double x) { return ::log(x); }

}  // namespace

[[KESTRUM_AVX512]] void exp_avx512(double* dst, const double* src, std::size_t n) {
    run<exp8, scalar_exp>(dst, src, n, 0.0);
}

[[KESTRUM_AVX512]] void log_avx512(double* dst, const double* src, std::size_t n) {
    run<log8, scalar_log>(dst, src, n, 2.0);
}

// ---- AVX2 (four lanes): the same operations, for processors without AVX-512 -------------------

namespace {

#define KESTRUM_AVX2 gnu::target("avx2,fma")

[[KESTRUM_AVX2, gnu::always_inline]] inline __m256d splat4(double v) { return _mm256_set1_pd(v); }
[[KESTRUM_AVX2, gnu::always_inline]] inline __m256i splat4_u64(std::uint64_t v) {
    return _mm256_set1_epi64x(static_cast<long long>(v));
}
// Unsigned a < b per 64-bit lane, as an all-ones mask.
[[KESTRUM_AVX2, gnu::always_inline]] inline __m256i less_u64(__m256i a, __m256i b) {
    const __m256i bias = splat4_u64(0x8000000000000000);
    return _mm256_cmpgt_epi64(_mm256_xor_si256(b, bias), _mm256_xor_si256(a, bias));
}
[[KESTRUM_AVX2, gnu::always_inline]] inline __m256d select4(__m256i mask, __m256d yes, __m256d no) {
    return _mm256_blendv_pd(no, yes, _mm256_castsi256_pd(mask));
}
[[KESTRUM_AVX2, gnu::always_inline]] inline unsigned lanes4(__m256i mask) {
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(mask)));
}

[[KESTRUM_AVX2, gnu::always_inline]] inline void load_pairs4(const double* table, __m256i idx2, __m256d* lo,
                                                             __m256d* hi) {
    *lo = _mm256_i64gather_pd(table, idx2, 8);
    *hi = _mm256_i64gather_pd(table, _mm256_add_epi64(idx2, splat4_u64(1)), 8);
}

// As exp8, including the 512 <= |x| < 1024 lanes.
[[KESTRUM_AVX2, gnu::always_inline]] inline __m256d exp4(__m256d x, unsigned* scalar) {
    const __m256i abstop = _mm256_and_si256(_mm256_srli_epi64(_mm256_castpd_si256(x), 52), splat4_u64(0x7ff));
    const __m256i tiny = _mm256_cmpgt_epi64(splat4_u64(0x3c9), abstop);
    const __m256i wide = _mm256_cmpeq_epi64(abstop, splat4_u64(0x408));
    unsigned out = lanes4(_mm256_cmpgt_epi64(abstop, splat4_u64(0x408)));
    __m256d kd = _mm256_fmadd_pd(x, splat4(kExpInvLn2N), splat4(kExpShift));
    const __m256i ki = _mm256_castpd_si256(kd);
    kd = _mm256_sub_pd(kd, splat4(kExpShift));
    __m256d r = _mm256_fmadd_pd(kd, splat4(kExpNegLn2HiN), x);
    r = _mm256_fmadd_pd(kd, splat4(kExpNegLn2LoN), r);
    __m256d tail, sb;
    load_pairs4(reinterpret_cast<const double*>(kExpTable), _mm256_slli_epi64(_mm256_and_si256(ki, splat4_u64(127)), 1),
                &tail, &sb);
    const __m256i sbits = _mm256_add_epi64(_mm256_castpd_si256(sb), _mm256_slli_epi64(ki, 45));
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d t = _mm256_fmadd_pd(_mm256_fmadd_pd(r, splat4(kExpC3), splat4(kExpC2)), r2, _mm256_add_pd(r, tail));
    const __m256d tmp = _mm256_fmadd_pd(_mm256_mul_pd(r2, r2), _mm256_fmadd_pd(r, splat4(kExpC5), splat4(kExpC4)), t);
    const __m256d scale = _mm256_castsi256_pd(sbits);
    __m256d y = _mm256_fmadd_pd(scale, tmp, scale);
    if (lanes4(wide)) {
        const __m256i kpos = _mm256_cmpeq_epi64(_mm256_and_si256(ki, splat4_u64(0x80000000)), _mm256_setzero_si256());
        const __m256d sp = _mm256_castsi256_pd(_mm256_sub_epi64(sbits, splat4_u64(1009ULL << 52)));
        const __m256d yp = _mm256_mul_pd(_mm256_fmadd_pd(sp, tmp, sp), splat4(0x1p1009));
        const __m256d sn = _mm256_castsi256_pd(_mm256_add_epi64(sbits, splat4_u64(1022ULL << 52)));
        const __m256d yn = _mm256_add_pd(sn, _mm256_mul_pd(sn, tmp));  // not fused, as in exp8
        const __m256d bad =
            select4(kpos, _mm256_cmp_pd(yp, splat4(INFINITY), _CMP_EQ_OQ), _mm256_cmp_pd(yn, splat4(1.0), _CMP_NGE_UQ));
        out |= lanes4(wide) & static_cast<unsigned>(_mm256_movemask_pd(bad));
        y = select4(wide, select4(kpos, yp, _mm256_mul_pd(yn, splat4(0x1p-1022))), y);
    }
    *scalar = out;
    return select4(tiny, _mm256_add_pd(splat4(1.0), x), y);
}

[[KESTRUM_AVX2, gnu::always_inline]] inline __m256d poly2_4(__m256d s, __m256d s2, const double* c) {
    return _mm256_fmadd_pd(s2, splat4(c[2]), _mm256_fmadd_pd(s, splat4(c[1]), splat4(c[0])));
}

// As log8 (near 1 included).
[[KESTRUM_AVX2, gnu::always_inline]] inline __m256d log4(__m256d x, unsigned* scalar) {
    const __m256i ix = _mm256_castpd_si256(x);
    const __m256i top = _mm256_srli_epi64(ix, 48);
    *scalar = lanes4(less_u64(_mm256_sub_epi64(top, splat4_u64(0x10)), splat4_u64(0x7ff0 - 0x10))) ^ 0xf;
    const __m256i near = less_u64(_mm256_sub_epi64(ix, splat4_u64(kLogNearLo)), splat4_u64(kLogNearSpan));
    const __m256i tmp = _mm256_sub_epi64(ix, splat4_u64(kLogOff));
    // k = tmp >> 52 (arithmetic) converted exactly: (2^52 + 2048 + k) - (2^52 + 2048).
    const __m256i kb = _mm256_or_si256(_mm256_xor_si256(_mm256_srli_epi64(tmp, 52), splat4_u64(0x800)),
                                       splat4_u64(0x4330000000000000));
    const __m256d kd = _mm256_sub_pd(_mm256_castsi256_pd(kb), splat4(0x1p52 + 2048));
    const __m256d z = _mm256_castsi256_pd(_mm256_sub_epi64(ix, _mm256_and_si256(tmp, splat4_u64(0xfffULL << 52))));
    __m256d invc, logc;
    load_pairs4(kLogTable, _mm256_slli_epi64(_mm256_and_si256(_mm256_srli_epi64(tmp, 45), splat4_u64(127)), 1), &invc,
                &logc);
    const __m256d r = _mm256_fmadd_pd(z, invc, splat4(-1.0));
    const __m256d w = _mm256_fmadd_pd(kd, splat4(kLogLn2Hi), logc);
    const __m256d hi = _mm256_add_pd(w, r);
    const __m256d lo = _mm256_fmadd_pd(kd, splat4(kLogLn2Lo), _mm256_add_pd(_mm256_sub_pd(w, hi), r));
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d q = _mm256_fmadd_pd(_mm256_fmadd_pd(r, splat4(kLogA[4]), splat4(kLogA[3])), r2,
                                      _mm256_fmadd_pd(r, splat4(kLogA[2]), splat4(kLogA[1])));
    __m256d y = _mm256_add_pd(_mm256_fmadd_pd(_mm256_mul_pd(r, r2), q, _mm256_fmadd_pd(r2, splat4(kLogA[0]), lo)), hi);
    if (lanes4(near)) {
        const double* B = kLogB;
        const __m256d s = _mm256_sub_pd(x, splat4(1.0));
        const __m256d s2 = _mm256_mul_pd(s, s);
        const __m256d s3 = _mm256_mul_pd(s, s2);
        const __m256d p7 = _mm256_fmadd_pd(s3, splat4(B[10]), poly2_4(s, s2, B + 7));
        const __m256d p4 = _mm256_fmadd_pd(p7, s3, poly2_4(s, s2, B + 4));
        const __m256d p1 = _mm256_fmadd_pd(p4, s3, poly2_4(s, s2, B + 1));
        const __m256d t = _mm256_fmadd_pd(s, splat4(0x1p27), s);
        const __m256d shi = _mm256_fnmadd_pd(splat4(0x1p27), s, t);
        const __m256d slo = _mm256_sub_pd(s, shi);
        const __m256d shi2 = _mm256_mul_pd(shi, shi);
        const __m256d h = _mm256_fmadd_pd(shi2, splat4(B[0]), s);
        __m256d l = _mm256_fmadd_pd(shi2, splat4(B[0]), _mm256_sub_pd(s, h));
        l = _mm256_fmadd_pd(_mm256_mul_pd(splat4(B[0]), slo), _mm256_add_pd(shi, s), l);
        const __m256d y1 = _mm256_add_pd(h, _mm256_fmadd_pd(p1, s3, l));
        y = select4(near, y1, y);
        y = select4(_mm256_cmpeq_epi64(ix, splat4_u64(0x3ff0000000000000)), _mm256_setzero_pd(), y);
    }
    return y;
}

// dst[j] = Scalar(x[j]) for the lanes set in mask.
template <double (*Scalar)(double)>
[[KESTRUM_AVX2, gnu::noinline]] void patch4(double* dst, __m256d x, unsigned mask) {
    alignas(32) double xs[4];
    _mm256_store_pd(xs, x);
    for (; mask; mask &= mask - 1) {
        const unsigned j = static_cast<unsigned>(__builtin_ctz(mask));
        dst[j] = Scalar(xs[j]);
    }
}

// As run, four lanes at a time; the tail goes through a padded copy.
template <__m256d (*Kernel)(__m256d, unsigned*), double (*Scalar)(double)>
[[KESTRUM_AVX2, gnu::always_inline]] inline void run4(double* dst, const double* src, std::size_t n, double pad) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        unsigned scalar;
        const __m256d x = _mm256_loadu_pd(src + i);
        _mm256_storeu_pd(dst + i, Kernel(x, &scalar));
        if (scalar) [[unlikely]]
            patch4<Scalar>(dst + i, x, scalar);
    }
    if (i < n) {
        alignas(32) double xs[4] = {pad, pad, pad, pad};
        alignas(32) double ys[4];
        for (std::size_t j = i; j < n; ++j) xs[j - i] = src[j];
        unsigned scalar;
        const __m256d x = _mm256_load_pd(xs);
        _mm256_store_pd(ys, Kernel(x, &scalar));
        if (scalar) patch4<Scalar>(ys, x, scalar);
        for (std::size_t j = i; j < n; ++j) dst[j] = ys[j - i];
    }
}

}  // namespace

[[KESTRUM_AVX2]] void exp_avx2(double* dst, const double* src, std::size_t n) {
    run4<exp4, scalar_exp>(dst, src, n, 0.0);
}

[[KESTRUM_AVX2]] void log_avx2(double* dst, const double* src, std::size_t n) {
    run4<log4, scalar_log>(dst, src, n, 2.0);
}

}  // namespace kestrum::vmath
