// Run-time processor features, and the one way a kernel gets a faster path: a
// [[gnu::target("avx2")]] function next to a portable one, chosen at run time by has_avx2().
// Both paths do the same IEEE operations per element (no FMA, no reassociation), so results never
// depend on the machine. A body shared by both paths is an always-inline function called by two
// thin wrappers, one per target, so the compiler vectorises each copy for its own instruction set.
// Kernels are `noexcept`: they run on prepared storage and report nothing.
//
// The vector exp/log kernels (src/vmath) are the one exception: they redo the C library's own
// fused computation and are used only where it is proven to match (has_avx512 is their check).
//
// Building with KESTRUM_FORCE_PORTABLE defined (CMake option KESTRUM_PORTABLE) takes the portable
// path everywhere, which checks those paths on a machine that has AVX2.
#pragma once

namespace kestrum {

inline bool has_avx2() noexcept {
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
inline bool has_avx512() noexcept {
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
