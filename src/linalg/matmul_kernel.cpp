// The dense product kernels: packed register tiles, matrix-vector and vector-matrix products.
#include "linalg/matmul_kernel.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/cpu.hpp"
#include "core/interrupt.hpp"

namespace kestrum {

namespace {

// Register tile (MR rows x NR columns of outputs) and cache blocks: an MC x KC block of `a` and,
// when it is small enough, the KC x NC panel of `b` stay in L2; slivers of both in L1.
constexpr std::size_t MR = 6;
constexpr std::size_t NR = 8;
constexpr std::size_t KC = 256;
constexpr std::size_t MC = 72;
constexpr std::size_t NC = 3072;
constexpr std::size_t kL2Panel = (256 * 1024) / sizeof(double);
// Packing `b` pays off from two row tiles of `a` on; packing `a` once `b` has more columns than
// a few slivers (below that, row-major `a` read in place is faster than copying it).
constexpr std::size_t kPackBRows = 2 * MR;
constexpr std::size_t kPackACols = 8 * NR;

// Where a kernel call finds its operands. Row r of the `a` sliver at step k is
// a[off[r] + k * a_step]; the NR values of `b` at step k start at b + k * b_step. Packed slivers
// have off[r] = r, a_step = MR and b_step = NR; row-major operands are read in place with
// off[r] = r * lda, a_step = 1 and b_step = ldb.
struct Operands {
    const double* a;
    std::size_t a_off[MR];
    std::size_t a_step;
    const double* b;
    std::size_t b_step;
};

// Accumulates the first `rows` (1..MR) rows of an MR x NR tile over kc steps. `first` starts
// every accumulator at -0.0 (the first k block); later blocks continue from the partial sums
// already stored in c.
using Kernel = void (*)(std::size_t kc, const Operands& op, double* c, std::size_t ldc, std::size_t rows,
                        bool first) noexcept;

void kernel_portable(std::size_t kc, const Operands& op, double* c, std::size_t ldc, std::size_t rows,
                     bool first) noexcept {
    double acc[MR][NR];
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < NR; ++j) acc[i][j] = first ? -0.0 : c[i * ldc + j];
    const double* a = op.a;
    const double* b = op.b;
    for (std::size_t k = 0; k < kc; ++k, a += op.a_step, b += op.b_step)
        for (std::size_t i = 0; i < rows; ++i) {
            const double x = a[op.a_off[i]];
            for (std::size_t j = 0; j < NR; ++j) acc[i][j] = acc[i][j] + x * b[j];
        }
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < NR; ++j) c[i * ldc + j] = acc[i][j];
}

// Separate multiply and add (never a fused multiply-add): each product is rounded before it is
// added, exactly as in the portable kernel. ROWS x 2 accumulators of four doubles stay in
// registers (12 of the 16 for a full tile).
template <std::size_t ROWS>
[[gnu::target("avx2"), gnu::always_inline]] inline void kernel_avx2_rows(std::size_t kc, const Operands& op, double* c,
                                                                         std::size_t ldc, bool first) noexcept {
    __m256d lo[ROWS], hi[ROWS];
    std::size_t off[ROWS];
#pragma GCC unroll 6
    for (std::size_t r = 0; r < ROWS; ++r) {
        off[r] = op.a_off[r];
        if (first) {
            lo[r] = hi[r] = _mm256_set1_pd(-0.0);
        } else {
            lo[r] = _mm256_loadu_pd(c + r * ldc);
            hi[r] = _mm256_loadu_pd(c + r * ldc + 4);
        }
    }
    const double* a = op.a;
    const double* b = op.b;
    const std::size_t a_step = op.a_step, b_step = op.b_step;
    for (std::size_t k = 0; k < kc; ++k, a += a_step, b += b_step) {
        const __m256d b0 = _mm256_loadu_pd(b);
        const __m256d b1 = _mm256_loadu_pd(b + 4);
#pragma GCC unroll 6
        for (std::size_t r = 0; r < ROWS; ++r) {
            const __m256d x = _mm256_broadcast_sd(a + off[r]);
            lo[r] = _mm256_add_pd(lo[r], _mm256_mul_pd(x, b0));
            hi[r] = _mm256_add_pd(hi[r], _mm256_mul_pd(x, b1));
        }
    }
#pragma GCC unroll 6
    for (std::size_t r = 0; r < ROWS; ++r) {
        _mm256_storeu_pd(c + r * ldc, lo[r]);
        _mm256_storeu_pd(c + r * ldc + 4, hi[r]);
    }
}

[[gnu::target("avx2")]] void kernel_avx2(std::size_t kc, const Operands& op, double* c, std::size_t ldc,
                                         std::size_t rows, bool first) noexcept {
    switch (rows) {
        case 6: return kernel_avx2_rows<6>(kc, op, c, ldc, first);
        case 5: return kernel_avx2_rows<5>(kc, op, c, ldc, first);
        case 4: return kernel_avx2_rows<4>(kc, op, c, ldc, first);
        case 3: return kernel_avx2_rows<3>(kc, op, c, ldc, first);
        case 2: return kernel_avx2_rows<2>(kc, op, c, ldc, first);
        default: return kernel_avx2_rows<1>(kc, op, c, ldc, first);
    }
}

// Building with -DKESTRUM_FORCE_PORTABLE checks the portable kernels on a machine with AVX2.
Kernel select_kernel() noexcept { return has_avx2() ? kernel_avx2 : kernel_portable; }

// b(k0 .. k0+kc, j0 .. j0+nc) as NR-wide slivers, each kc rows of NR values; columns past the
// matrix are padded with zeros (their sums are computed but never stored).
void pack_b(const MatView& b, std::size_t k0, std::size_t kc, std::size_t j0, std::size_t nc, double* out) {
    for (std::size_t s = 0; s < nc; s += NR) {
        const std::size_t w = std::min(NR, nc - s);
        for (std::size_t k = 0; k < kc; ++k, out += NR) {
            const double* src = b.data + (k0 + k) * b.row_stride + (j0 + s) * b.col_stride;
            if (b.col_stride == 1 && w == NR) {
                std::memcpy(out, src, NR * sizeof(double));
            } else {
                for (std::size_t j = 0; j < w; ++j) out[j] = src[j * b.col_stride];
                for (std::size_t j = w; j < NR; ++j) out[j] = 0.0;
            }
        }
    }
}

// a(i0 .. i0+mc, k0 .. k0+kc) as MR-tall slivers, each kc columns of MR values, zero padded.
void pack_a(const MatView& a, std::size_t i0, std::size_t mc, std::size_t k0, std::size_t kc, double* out) {
    for (std::size_t s = 0; s < mc; s += MR) {
        const std::size_t h = std::min(MR, mc - s);
        const double* src = a.data + (i0 + s) * a.row_stride + k0 * a.col_stride;
        for (std::size_t k = 0; k < kc; ++k, out += MR) {
            const double* col = src + k * a.col_stride;
            for (std::size_t i = 0; i < h; ++i) out[i] = col[i * a.row_stride];
            for (std::size_t i = h; i < MR; ++i) out[i] = 0.0;
        }
    }
}

// One tile of h rows (kernels take any row count) and w columns; a tile cut off on the right goes
// through a scratch tile so that no column past the matrix is written.
void run_tile(Kernel kernel, std::size_t kc, const Operands& op, double* c, std::size_t ldc, std::size_t h,
              std::size_t w, bool first) {
    if (w == NR) {
        kernel(kc, op, c, ldc, h, first);
        return;
    }
    double tile[MR * NR];
    if (!first)
        for (std::size_t i = 0; i < h; ++i)
            for (std::size_t j = 0; j < w; ++j) tile[i * NR + j] = c[i * ldc + j];
    kernel(kc, op, tile, NR, h, first);
    for (std::size_t i = 0; i < h; ++i)
        for (std::size_t j = 0; j < w; ++j) c[i * ldc + j] = tile[i * NR + j];
}

// Matrix-vector product: one sequential sum per row, eight rows interleaved so that the adds of
// different rows overlap instead of waiting on each other.
void gemv_portable(const MatView& a, const MatView& b, double* c, std::size_t ldc) noexcept {
    constexpr std::size_t R = 8;
    const std::size_t m = a.rows, kk = a.cols;
    std::size_t i = 0;
    for (; i + R <= m; i += R) {
        double s[R];
        for (std::size_t r = 0; r < R; ++r) s[r] = -0.0;
        for (std::size_t k = 0; k < kk; ++k) {
            const double x = b(k, 0);
            for (std::size_t r = 0; r < R; ++r) s[r] = s[r] + a(i + r, k) * x;
        }
        for (std::size_t r = 0; r < R; ++r) c[(i + r) * ldc] = s[r];
    }
    for (; i < m; ++i) {
        double s = -0.0;
        for (std::size_t k = 0; k < kk; ++k) s = s + a(i, k) * b(k, 0);
        c[i * ldc] = s;
    }
}

// Products of four rows with four consecutive vector elements, transposed so that one vector
// holds the four rows' products for a single k; adding those vectors in k order advances the four
// row sums exactly as the scalar loop does.
[[gnu::target("avx2")]] inline __m256d add_products4(__m256d acc, const double* a, std::size_t lda,
                                                     __m256d x) noexcept {
    const __m256d p0 = _mm256_mul_pd(_mm256_loadu_pd(a), x);
    const __m256d p1 = _mm256_mul_pd(_mm256_loadu_pd(a + lda), x);
    const __m256d p2 = _mm256_mul_pd(_mm256_loadu_pd(a + 2 * lda), x);
    const __m256d p3 = _mm256_mul_pd(_mm256_loadu_pd(a + 3 * lda), x);
    const __m256d t0 = _mm256_unpacklo_pd(p0, p1), t1 = _mm256_unpackhi_pd(p0, p1);
    const __m256d t2 = _mm256_unpacklo_pd(p2, p3), t3 = _mm256_unpackhi_pd(p2, p3);
    acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(t0, t2, 0x20));
    acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(t1, t3, 0x20));
    acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(t0, t2, 0x31));
    return _mm256_add_pd(acc, _mm256_permute2f128_pd(t1, t3, 0x31));
}

// Contiguous rows and vector: eight rows at a time (two independent groups of four).
[[gnu::target("avx2")]] void gemv_avx2(const double* a, std::size_t m, std::size_t kk, const double* x, double* c,
                                       std::size_t ldc) noexcept {
    const std::size_t k4 = kk / 4 * 4;
    std::size_t i = 0;
    for (; i + 8 <= m; i += 8) {
        const double* a0 = a + i * kk;
        const double* a4 = a0 + 4 * kk;
        __m256d s0 = _mm256_set1_pd(-0.0), s4 = s0;
        for (std::size_t k = 0; k < k4; k += 4) {
            const __m256d xv = _mm256_loadu_pd(x + k);
            s0 = add_products4(s0, a0 + k, kk, xv);
            s4 = add_products4(s4, a4 + k, kk, xv);
        }
        double s[8];
        _mm256_storeu_pd(s, s0);
        _mm256_storeu_pd(s + 4, s4);
        for (std::size_t r = 0; r < 8; ++r) {
            for (std::size_t k = k4; k < kk; ++k) s[r] = s[r] + a0[r * kk + k] * x[k];
            c[(i + r) * ldc] = s[r];
        }
    }
    for (; i < m; ++i) {
        double s = -0.0;
        for (std::size_t k = 0; k < kk; ++k) s = s + a[i * kk + k] * x[k];
        c[i * ldc] = s;
    }
}

void gemv(const MatView& a, const MatView& b, double* c, std::size_t ldc) noexcept {
    if (has_avx2() && a.col_stride == 1 && a.row_stride == a.cols && b.row_stride == 1)
        return gemv_avx2(a.data, a.rows, a.cols, b.data, c, ldc);
    gemv_portable(a, b, c, ldc);
}

// Row vector times matrix: the whole output row accumulates together, k ascending. The loops
// run across output columns, so the compiler vectorises each path for its own instruction set.
[[gnu::always_inline]] inline void gevm_body(const MatView& a, const MatView& b, double* c) noexcept {
    const std::size_t n = b.cols, kk = a.cols;
    for (std::size_t j = 0; j < n; ++j) c[j] = -0.0;
    for (std::size_t k = 0; k < kk; ++k) {
        const double x = a(0, k);
        const double* row = b.data + k * b.row_stride;
        if (b.col_stride == 1)
            for (std::size_t j = 0; j < n; ++j) c[j] = c[j] + x * row[j];
        else
            for (std::size_t j = 0; j < n; ++j) c[j] = c[j] + x * row[j * b.col_stride];
    }
}

[[gnu::target("avx2")]] void gevm_avx2(const MatView& a, const MatView& b, double* c) noexcept { gevm_body(a, b, c); }
void gevm_portable(const MatView& a, const MatView& b, double* c) noexcept { gevm_body(a, b, c); }

void gevm(const MatView& a, const MatView& b, double* c) noexcept {
    if (has_avx2()) gevm_avx2(a, b, c);
    else gevm_portable(a, b, c);
}

// Packed slivers start on a cache line: an NR-wide row of `b` is then exactly one line and no
// vector load straddles two. Buffers get one line of slack for the alignment.
constexpr std::size_t kLine = 64 / sizeof(double);

double* ensure_aligned(Buffer<double>& buf, std::size_t n) {
    if (buf.size() < n + kLine) buf = Buffer<double>::uninit(n + kLine);
    const std::uintptr_t p = reinterpret_cast<std::uintptr_t>(buf.data());
    return reinterpret_cast<double*>((p + 63) & ~std::uintptr_t{63});
}

}  // namespace

void gemm(const MatView& a, const MatView& b, double* c, std::size_t ldc, GemmWorkspace& ws) {
    const std::size_t m = a.rows, n = b.cols, kk = a.cols;
    if (m == 0 || n == 0) return;
    if (kk == 0) {
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < n; ++j) c[i * ldc + j] = -0.0;
        return;
    }
    if (n == 1) return gemv(a, b, c, ldc);
    if (m == 1) return gevm(a, b, c);

    static const Kernel kernel = select_kernel();
    // A packed block must be reused often enough to pay for the copy: a `b` panel by every row
    // tile of `a`, an `a` block by every column sliver of `b`. Otherwise the kernel reads the
    // row-major operand in place (only a `b` sliver cut by the matrix edge is copied).
    const bool pack_all_b = b.col_stride != 1 || m > kPackBRows;
    const bool pack_all_a = a.col_stride != 1 || n > kPackACols;
    const std::size_t nc_max = std::min(NC, (n + NR - 1) / NR * NR);
    const std::size_t mc_max = std::min(MC, (m + MR - 1) / MR * MR);
    const std::size_t kc_max = std::min(KC, kk);
    double* const b_pack = ensure_aligned(ws.b_pack, kc_max * (pack_all_b ? nc_max : NR));
    double* const a_pack = ensure_aligned(ws.a_pack, kc_max * (pack_all_a ? mc_max : MR));

    InterruptCheck check;
    for (std::size_t jc = 0; jc < n; jc += NC) {
        const std::size_t nc = std::min(NC, n - jc);
        for (std::size_t pc = 0; pc < kk; pc += KC) {
            const std::size_t kc = std::min(KC, kk - pc);
            const bool first = pc == 0;
            const std::size_t b_edge = nc / NR * NR;  // first column of a partial sliver, if any
            if (pack_all_b) pack_b(b, pc, kc, jc, nc, b_pack);
            else if (b_edge < nc) pack_b(b, pc, kc, jc + b_edge, nc - b_edge, b_pack);
            for (std::size_t ic = 0; ic < m; ic += MC) {
                const std::size_t mc = std::min(MC, m - ic);
                // A vectorised multiply-add costs about a tenth of a countdown unit.
                check.tick(mc * nc * kc / 16);
                if (pack_all_a) pack_a(a, ic, mc, pc, kc, a_pack);
                // One tile: rows ic+ir.., columns jc+jr.. of c.
                auto tile = [&](std::size_t ir, std::size_t jr) {
                    Operands op;
                    const std::size_t h = std::min(MR, mc - ir);
                    if (pack_all_a) {
                        op.a = a_pack + ir * kc;
                        for (std::size_t r = 0; r < MR; ++r) op.a_off[r] = r;
                        op.a_step = MR;
                    } else {
                        op.a = a.data + (ic + ir) * a.row_stride + pc;
                        for (std::size_t r = 0; r < h; ++r) op.a_off[r] = r * a.row_stride;
                        op.a_step = 1;
                    }
                    if (pack_all_b || jr >= b_edge) {
                        op.b = b_pack + (pack_all_b ? jr * kc : 0);
                        op.b_step = NR;
                    } else {
                        op.b = b.data + pc * b.row_stride + jc + jr;
                        op.b_step = b.row_stride;
                    }
                    double* ct = c + (ic + ir) * ldc + jc + jr;
                    run_tile(kernel, kc, op, ct, ldc, h, std::min(NR, nc - jr), first);
                };
                // A panel of `b` that fits in L2 is swept once per sliver of `a` (which then stays
                // in L1); a larger one is read sliver by sliver, each meeting the whole `a` block
                // held in L2, so that neither has to come from the shared L3 again and again.
                if (kc * nc <= kL2Panel) {
                    for (std::size_t ir = 0; ir < mc; ir += MR)
                        for (std::size_t jr = 0; jr < nc; jr += NR) tile(ir, jr);
                } else {
                    for (std::size_t jr = 0; jr < nc; jr += NR)
                        for (std::size_t ir = 0; ir < mc; ir += MR) tile(ir, jr);
                }
            }
        }
    }
}

}  // namespace kestrum
