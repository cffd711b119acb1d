// Density kernels as functions of the scaled distance u, with the test that lets the density
// walk skip a node whose nearest point contributes nothing worth adding.
#pragma once

#include <cmath>
#include <cstdint>

namespace kestrum::spatial {

enum class KernelType : std::uint8_t { Gaussian = 0, Epanechnikov = 1, Uniform = 2, Triangular = 3 };

// The Gaussian kernel is exp of this.
inline double gaussian_exponent(double u) { return u * -0.5 * u; }

template <KernelType K>
inline double kernel_value(double u) {
    if constexpr (K == KernelType::Gaussian) return std::exp(gaussian_exponent(u));
    else if constexpr (K == KernelType::Epanechnikov) return u < 1.0 ? 0.75 * (1.0 - u * u) : 0.0;
    else if constexpr (K == KernelType::Uniform) return u < 1.0 ? 0.5 : 0.0;
    else return u < 1.0 ? 1.0 - u : 0.0;
}

// exp(x) < 1e-10 exactly when x < this (NaN where that could not be proven: then call exp).
double gaussian_negligible_below();

// A node whose lower bound scales to u contributes nothing worth adding.
template <KernelType K>
inline bool kernel_negligible(double u) {
    if constexpr (K == KernelType::Gaussian) {
        static const double below = gaussian_negligible_below();
        return below == below ? gaussian_exponent(u) < below : kernel_value<K>(u) < 1e-10;
    } else if constexpr (K == KernelType::Epanechnikov) return !(u < 1.0) || 0.75 * (1.0 - u * u) < 1e-10;
    else if constexpr (K == KernelType::Uniform) return !(u < 1.0);
    else return !(u < 1.0) || 1.0 - u < 1e-10;
}

// Calls f.template operator()<K>() with the kernel as a compile-time constant.
template <class F>
decltype(auto) with_kernel(KernelType kernel, F&& f) {
    switch (kernel) {
        case KernelType::Epanechnikov: return f.template operator()<KernelType::Epanechnikov>();
        case KernelType::Uniform: return f.template operator()<KernelType::Uniform>();
        case KernelType::Triangular: return f.template operator()<KernelType::Triangular>();
        default: return f.template operator()<KernelType::Gaussian>();
    }
}

}  // namespace kestrum::spatial
