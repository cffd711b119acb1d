// In-place Householder QR on raw row-major storage, shared by `qr` and the eigenvalue
// iteration (which factors once per step and must not allocate inside its loop).
#pragma once

#include <cstddef>

#include "core/buffer.hpp"

namespace kestrum {

// Reflection vector and the two work vectors of a column step and of the one after it, sized once.
struct QrWorkspace {
    Buffer<double> v, w, u, v_next, w_next, u_next;
    void reserve(std::size_t m, std::size_t n);
};

// Factors the m x n matrix `r` in place into R (strictly lower part set to 0.0) and applies
// every reflection to `qt`, an m x m matrix holding Q transposed (start it at the identity).
// Q is kept transposed so that the accumulation Q = Q * H runs along contiguous rows.
// `ws` must already be reserved for (m, n). Throws Interrupted (between column steps) when the
// caller asks to stop; `r` and `qt` are then partly factored.
void householder_qr(double* r, std::size_t m, std::size_t n, double* qt, QrWorkspace& ws);

}  // namespace kestrum
