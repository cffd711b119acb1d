// The vector kernels behind vmath.hpp; callers go through the dispatch there, which uses them only
// where they are proven to match the C library.
#pragma once

#include <cstddef>

namespace kestrum::vmath {

// AVX-512F/DQ with FMA; dst may equal src.
void exp_avx512(double* dst, const double* src, std::size_t n);
void log_avx512(double* dst, const double* src, std::size_t n);
// AVX2 with FMA; the same results.
void exp_avx2(double* dst, const double* src, std::size_t n);
void log_avx2(double* dst, const double* src, std::size_t n);

}  // namespace kestrum::vmath
