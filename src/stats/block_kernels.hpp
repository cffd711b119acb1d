// Counting, testing and compaction kernels over blocks of float64, vectorised with AVX2 where the
// CPU has it (scalar otherwise). They produce counts and copies, never arithmetic, so every path
// gives identical results.
#pragma once

#include <cstddef>

namespace kestrum::stats {

std::size_t count_less(const double* x, std::size_t n, double p) noexcept;        // x < p
std::size_t count_less_equal(const double* x, std::size_t n, double p) noexcept;  // x <= p
std::size_t count_nan(const double* x, std::size_t n) noexcept;

// Whether any element compares equal to 0.0 (either sign) / differs from 0.0 (NaN included).
bool any_zero(const double* x, std::size_t n) noexcept;
bool any_nonzero(const double* x, std::size_t n) noexcept;

// Bounds for `gather`: strictly above / below a pivot, or unbounded on that side.
struct Bounds {
    bool has_low, has_high;
    double low, high;
};

// Copies the numbers of x inside `b` to out in storage order and returns how many. out must have
// room for n values (the vector path stores whole vectors).
std::size_t gather(const double* x, std::size_t n, const Bounds& b, double* out) noexcept;

}  // namespace kestrum::stats
