// The dense product kernel behind every matrix product of the library.
//
// Each output element is one sequential sum: it starts at -0.0 and adds the rounded products
// a(i, k) * b(k, j) for k ascending. The kernel is free in everything else: it packs panels of
// both operands for the caches and accumulates a register tile of outputs at once (vectorised
// across output columns), which keeps the result bit for bit equal to the plain triple loop.
#pragma once

#include <cstddef>

#include "core/buffer.hpp"

namespace kestrum {

// Read-only strided matrix: element (i, j) at data[i * row_stride + j * col_stride]. A row-major
// matrix has col_stride 1; its transpose is the same storage with the strides swapped.
struct MatView {
    const double* data;
    std::size_t rows, cols;
    std::size_t row_stride, col_stride;

    static MatView row_major(const double* data, std::size_t rows, std::size_t cols) {
        return {data, rows, cols, cols, 1};
    }
    MatView transposed() const { return {data, cols, rows, col_stride, row_stride}; }
    double operator()(std::size_t i, std::size_t j) const { return data[i * row_stride + j * col_stride]; }
};

// Packing buffers, kept by callers that multiply repeatedly so that no product allocates.
struct GemmWorkspace {
    Buffer<double> a_pack;
    Buffer<double> b_pack;
};

// c (row-major, rows a.rows, cols b.cols, leading dimension ldc) = a * b.
// Requires a.cols == b.rows; c must not overlap a or b.
void gemm(const MatView& a, const MatView& b, double* c, std::size_t ldc, GemmWorkspace& ws);

}  // namespace kestrum
