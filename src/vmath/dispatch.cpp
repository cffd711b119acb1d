// Chooses, once per process, between the vector kernels and one scalar C-library call per element.
//
// The kernels copy the C library's FMA variant of exp and log operation for operation, so they are
// used only when all of these hold:
//  - the C library is a release whose exp/log were verified against the kernels bit for bit;
//  - the library itself reports FMA and AVX2 usable (then its exp/log dispatch to that variant;
//    a tunable that masks either makes it pick another variant, and us fall back);
//  - the processor has the features the kernels use (AVX-512F/DQ, else AVX2 with FMA);
//  - a self-check at first use, on inputs chosen to expose every fused-multiply-add decision, table
//    edge and special-lane threshold, finds no differing bit.
#include "vmath/vmath.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__GLIBC__) && __has_include(<gnu/libc-version.h>) && __has_include(<sys/platform/x86.h>)
#include <gnu/libc-version.h>
#include <sys/platform/x86.h>
#define KESTRUM_VMATH_GLIBC 1
#endif

#include "core/cpu.hpp"
#include "vmath/kernels.hpp"
#include "vmath/tables.hpp"

namespace kestrum::vmath {

namespace {

using RunFn = void (*)(double*, const double*, std::size_t);

void exp_scalar(double* dst, const double* src, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = ::exp(src[i]);
}
void log_scalar(double* dst, const double* src, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = ::log(src[i]);
}

// C library releases whose exp and log the kernels were verified against.
constexpr const char* kVerifiedReleases[] = {"2.36"};

bool library_matches() {
#ifdef KESTRUM_VMATH_GLIBC
    const char* version = gnu_get_libc_version();
    bool known = false;
    for (const char* v : kVerifiedReleases) known = known || std::strcmp(version, v) == 0;
    return known && CPU_FEATURE_ACTIVE(FMA) && CPU_FEATURE_ACTIVE(AVX2);
#else
    return false;
#endif
}

double from_bits(std::uint64_t u) {
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}
std::uint64_t to_bits(double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

void push_neighbours(std::vector<double>& v, double x, int k) {
    for (int d = -k; d <= k; ++d) v.push_back(from_bits(to_bits(x) + static_cast<std::uint64_t>(d)));
}

// A small deterministic generator for the self-check inputs (splitmix64).
struct CheckRng {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
};

// Inputs whose results change when one fused-multiply-add decision of exp differs from the
// library's (scale + scale*tmp unfused, or the subnormal-bound s + s*tmp fused), the path and
// special-lane thresholds, and a spread over the whole finite range.
std::vector<double> exp_check_inputs() {
    std::vector<double> x;
    CheckRng r{12345};
    for (int i = 0; i < 1536; ++i) x.push_back(-745.0 + 1455.0 * r.unit());
    for (int i = 0; i < 256; ++i) x.push_back(std::ldexp(r.unit() - 0.5, static_cast<int>(r.next() % 70) - 60));
    for (double a : {0x1p-54, 512.0, 1024.0, 0x1.62e42fefa39efp+9, -0x1.6232bdd7abcd2p+9, -0x1.74910d52d3051p+9})
        for (double s : {1.0, -1.0}) push_neighbours(x, s * a, 8);
    for (double a : {-0x1.6195024198de2p+8, -0x1.c7d37bd6a193p+7,  0x1.39d9dbe1d27p+1,    0x1.14db4df8aefep+6,
                     -0x1.319659be8d977p+8, 0x1.c90808a3d66fp+8,   -0x1.4caa55e1e81e9p+8, -0x1.e42c87522c2cp+3,
                     -0x1.f2677cfdedf68p+6, -0x1.d704d00558ab4p+7, -0x1.ed4f169fc7d62p+7, -0x1.71f760d3db7bcp+7,
                     0x1.b79ecab4640b4p+7,  -0x1.50bd164d7f264p+8, -0x1.a25f1b10ccb3ep+8, 0x1.4c0beca31ceep+8,
                     -0x1.457583f10db1bp+9, -0x1.4b5b0efdaad5p+9,  -0x1.5149151f00b5ap+9, -0x1.38fbfdbc1c92ap+9,
                     -0x1.5032f980f83b9p+9, -0x1.0528354351ed4p+9, -0x1.39c56c973a711p+9, -0x1.0eaa5cfbfaaedp+9})
        x.push_back(a);
    for (double a : {0.0, double(INFINITY), -double(INFINITY), double(NAN)}) x.push_back(a);
    return x;
}

// The same for log: the near-1 path bounds and the inputs whose result changes when r^3 p + lo
// is not fused, plus every table subinterval edge in one binade and random bit patterns.
std::vector<double> log_check_inputs() {
    std::vector<double> x;
    CheckRng r{54321};
    for (int i = 0; i < 1024; ++i) x.push_back(from_bits(((r.next() % 2047) << 52) | (r.next() >> 12)));
    for (int i = 0; i < 512; ++i) x.push_back(0.9 + 0.2 * r.unit());
    for (std::uint64_t i = 0; i < 128; ++i) push_neighbours(x, from_bits(data::kLogOff + (i << 45)), 1);
    for (double a : {1.0, from_bits(data::kLogNearLo), from_bits(data::kLogNearLo + data::kLogNearSpan), 0x1p-1022, 0.0,
                     -1.0, double(INFINITY)})
        push_neighbours(x, a, 8);
    for (double a : {0x1.0c66a147a40b8p+0, 0x1.084d158396747p+0, 0x1.0f2f6e2a0713dp+0, 0x1.0c8bca56035d7p+0,
                     0x1.0636b29408d4p+0, 0x1.058e62cf690ddp+0, 0x1.0c8f7fca3001bp+0, 0x1.0cc58c19fbf0dp+0})
        x.push_back(a);
    x.push_back(double(NAN));
    return x;
}

bool agrees(RunFn vector, RunFn scalar, const std::vector<double>& x) {
    std::vector<double> got(x.size()), want(x.size());
    vector(got.data(), x.data(), x.size());
    scalar(want.data(), x.data(), x.size());
    return std::memcmp(got.data(), want.data(), x.size() * sizeof(double)) == 0;
}

struct Paths {
    RunFn exp = exp_scalar;
    RunFn log = log_scalar;
    bool vector = false;
};

Paths choose() {
    // library_matches() includes FMA and AVX2 being usable.
    if (!library_matches() || !has_avx2()) return {};
    const Paths vector = has_avx512() ? Paths{exp_avx512, log_avx512, true} : Paths{exp_avx2, log_avx2, true};
    if (!agrees(vector.exp, exp_scalar, exp_check_inputs()) || !agrees(vector.log, log_scalar, log_check_inputs()))
        return {};
    return vector;
}

const Paths& paths() {
    static const Paths chosen = choose();
    return chosen;
}

}  // namespace

void exp(double* dst, const double* src, std::size_t n) { paths().exp(dst, src, n); }
void log(double* dst, const double* src, std::size_t n) { paths().log(dst, src, n); }
bool vector_kernels_active() { return paths().vector; }

}  // namespace kestrum::vmath
