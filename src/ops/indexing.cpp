// Index normalisation, element and block addressing, flat slices and membership.
#include "ops/indexing.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace kestrum::indexing {

Result<std::uint64_t> normalize(std::int64_t i, std::uint64_t n, std::size_t axis) {
    bool inside;
    std::uint64_t pos;
    if (i >= 0) {
        pos = static_cast<std::uint64_t>(i);
        inside = pos < n;
    } else {
        const std::uint64_t back = static_cast<std::uint64_t>(-(i + 1)) + 1;  // |i| without overflow
        inside = back <= n;
        pos = n - back;
    }
    if (!inside)
        return Error{"index " + std::to_string(i) + " is out of bounds for axis " + std::to_string(axis) +
                     " with size " + std::to_string(n)};
    return pos;
}

ArrayF64 block(const ArrayF64& a, std::span<const std::uint64_t> prefix) {
    if (prefix.size() > a.ndim()) panic("too many indices for a block");
    std::uint64_t offset = 0;
    for (std::size_t d = 0; d < prefix.size(); ++d) {
        check_index(prefix[d], a.shape.dims[d]);
        offset += prefix[d] * a.strides[d];
    }
    Shape rest(std::vector<std::uint64_t>(a.shape.dims.begin() + static_cast<std::ptrdiff_t>(prefix.size()),
                                          a.shape.dims.end()));
    const std::uint64_t count = rest.size();
    if (count) check_index(offset + count - 1, a.size());
    return ArrayF64::create(std::move(rest), Buffer<double>::from(a.data.data() + offset, count));
}

ArrayF64 slice_flat(const ArrayF64& a, std::int64_t start, std::int64_t stop, std::int64_t step) {
    if (step == 0) panic("slice step cannot be zero");
    const std::int64_t n = static_cast<std::int64_t>(a.size());
    // Number of steps before passing stop (unsigned differences cannot overflow).
    const auto u = [](std::int64_t v) { return static_cast<std::uint64_t>(v); };
    std::uint64_t capacity = 0;
    if (step > 0 && start < stop) capacity = (u(stop) - u(start) - 1) / u(step) + 1;
    if (step < 0 && start > stop) capacity = (u(start) - u(stop) - 1) / (0 - u(step)) + 1;
    Buffer<double> picked = Buffer<double>::uninit(std::min<std::uint64_t>(capacity, a.size()));
    std::size_t count = 0;
    const auto inside = [n](std::int64_t k) { return k >= 0 && k < n; };
    if (capacity && inside(start) && inside(static_cast<std::int64_t>(u(start) + (capacity - 1) * u(step)))) {
        // Positions move monotonically, so both ends inside means every position is.
        const double* src = a.data.data() + start;
        double* dst = picked.data();
        // Constant strides for the common steps let the compiler vectorise the copy.
        if (step == 1) std::memcpy(dst, src, capacity * sizeof(double));
        else if (step == -1)
            for (std::uint64_t m = 0; m < capacity; ++m) dst[m] = *(src - m);
        else
            for (std::uint64_t m = 0;;) {  // never steps the pointer past the last position
                dst[m] = *src;
                if (++m == capacity) break;
                src += step;
            }
        count = capacity;
    } else {
        for (std::uint64_t m = 0; m < capacity; ++m) {
            const std::int64_t k = static_cast<std::int64_t>(u(start) + m * u(step));
            if (inside(k)) picked.at(count++) = a.data[static_cast<std::size_t>(k)];
        }
    }
    picked.truncate(count);
    return ArrayF64::create(Shape::d1(count), std::move(picked));
}

Result<double> get(const ArrayF64& a, std::span<const std::uint64_t> indices) {
    const double* x = a.get(indices);
    if (!x) return Error{"Index out of bounds"};
    return *x;
}

bool contains(const ArrayF64& a, double x) {
    for (double v : a.data)
        if (v == x) return true;
    return false;
}

}  // namespace kestrum::indexing
