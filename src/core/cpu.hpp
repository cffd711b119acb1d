// Run-time processor features for the kernels that have an AVX2 path next to a portable one.
// Both paths do the same arithmetic per element, so results never depend on the machine.
#pragma once

namespace kestrum {

inline bool has_avx2() {
#ifdef KESTRUM_FORCE_PORTABLE
    return false;
#else
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return yes;
#endif
}

// AVX-512 foundation and doubleword/quadword instructions (the vector math kernels).
inline bool has_avx512() {
#ifdef KESTRUM_FORCE_PORTABLE
    return false;
#else
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512dq") != 0;
    }();
    return yes;
#endif
}

}  // namespace kestrum
