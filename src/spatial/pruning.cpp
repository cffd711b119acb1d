// The NaN scan behind unbounded Chebyshev nodes and the message of an inverted clamp.
#include "spatial/pruning.hpp"

#include <string>

#include "array/format.hpp"
#include "core/panic.hpp"

namespace kestrum::spatial {

bool any_nan(const double* rows, std::size_t start, std::size_t end, std::size_t dim) {
    bool found = false;
    for (const double* x = rows + start * dim; x != rows + end * dim; ++x) found |= std::isnan(*x);
    return found;
}

namespace {
std::string display_f64(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    std::string s;
    append_f64(s, x);
    if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
    return s;
}
}  // namespace

void panic_clamp(double min, double max) {
    panic("min > max, or either was NaN. min = " + display_f64(min) + ", max = " + display_f64(max));
}

}  // namespace kestrum::spatial
