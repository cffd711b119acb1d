#include "ops/kernels.hpp"

namespace kestrum::kernels {

bool cpu_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

}  // namespace kestrum::kernels
