// Straight loops over contiguous storage, compiled twice: for AVX2 and for the baseline. Each
// output element depends on its own inputs only and every path performs the same IEEE
// operations (no FMA, no reassociation), so the results are identical on every processor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/cpu.hpp"

namespace kestrum::kernels {

// The AVX2 loops first reach a 32-byte aligned destination so that no vector store splits a
// cache line.
template <class F>
[[gnu::target("avx2")]] void map_avx2(double* __restrict dst, const double* __restrict src, std::size_t n,
                                      F f) noexcept {
    std::size_t i = 0;
    for (; i < n && (reinterpret_cast<std::uintptr_t>(dst + i) & 31); ++i) dst[i] = f(src[i]);
    double* d = static_cast<double*>(__builtin_assume_aligned(dst + i, 32));
    const double* s = src + i;
    const std::size_t m = n - i;
#pragma GCC unroll 2
    for (std::size_t j = 0; j < m; ++j) d[j] = f(s[j]);
}

template <class F>
void map_base(double* __restrict dst, const double* __restrict src, std::size_t n, F f) noexcept {
    for (std::size_t i = 0; i < n; ++i) dst[i] = f(src[i]);
}

// dst[i] = f(src[i])
template <class F>
void map_into(double* dst, const double* src, std::size_t n, F f) noexcept {
    if (has_avx2()) map_avx2(dst, src, n, f);
    else map_base(dst, src, n, f);
}

template <class F>
[[gnu::target("avx2")]] void zip_avx2(double* __restrict dst, const double* __restrict x, const double* __restrict y,
                                      std::size_t n, F f) noexcept {
    std::size_t i = 0;
    for (; i < n && (reinterpret_cast<std::uintptr_t>(dst + i) & 31); ++i) dst[i] = f(x[i], y[i]);
    double* d = static_cast<double*>(__builtin_assume_aligned(dst + i, 32));
    const double* u = x + i;
    const double* v = y + i;
    const std::size_t m = n - i;
#pragma GCC unroll 2
    for (std::size_t j = 0; j < m; ++j) d[j] = f(u[j], v[j]);
}

template <class F>
void zip_base(double* __restrict dst, const double* __restrict x, const double* __restrict y, std::size_t n,
              F f) noexcept {
    for (std::size_t i = 0; i < n; ++i) dst[i] = f(x[i], y[i]);
}

// dst[i] = f(x[i], y[i])
template <class F>
void zip_into(double* dst, const double* x, const double* y, std::size_t n, F f) noexcept {
    if (has_avx2()) zip_avx2(dst, x, y, n, f);
    else zip_base(dst, x, y, n, f);
}

}  // namespace kestrum::kernels
