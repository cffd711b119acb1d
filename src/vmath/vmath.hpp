// exp and log over contiguous runs, each element carrying exactly the bits of the C library's
// scalar call. Vector kernels are used only where they are proven to match (see dispatch.cpp);
// everywhere else each element is one scalar call.
#pragma once

#include <cstddef>

namespace kestrum::vmath {

// dst[i] = exp(src[i]) for i < n; dst may equal src, otherwise the runs must not overlap.
void exp(double* dst, const double* src, std::size_t n);
// dst[i] = log(src[i]) for i < n; dst may equal src, otherwise the runs must not overlap.
void log(double* dst, const double* src, std::size_t n);

// Whether exp and log run on the vector kernels in this process (for diagnostics and tests).
bool vector_kernels_active();

}  // namespace kestrum::vmath
