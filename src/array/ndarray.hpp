// Dense row-major n-dimensional array owning its elements.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "array/shape.hpp"
#include "core/buffer.hpp"
#include "core/panic.hpp"

namespace kestrum {

template <class T>
struct NdArray {
    Shape shape;
    std::vector<std::uint64_t> strides;
    Buffer<T> data;

    // The checked constructor (`new` in the design; a keyword in C++): data length must equal
    // the shape's size.
    static NdArray create(Shape shape, Buffer<T> data) {
        const std::uint64_t size = shape.size();
        if (size != data.size())
            panic_assert_eq(
                "Storage length " + std::to_string(data.size()) + " doesn't match shape size " + std::to_string(size),
                size, data.size());
        NdArray a;
        a.strides = shape.strides_row_major();
        a.shape = std::move(shape);
        a.data = std::move(data);
        return a;
    }

    static NdArray zeros(Shape shape) {
        Buffer<T> data = Buffer<T>::zeroed(shape.size());
        return create(std::move(shape), std::move(data));
    }

    // Storage for a result whose every element the caller writes before reading.
    static NdArray uninit(Shape shape) {
        Buffer<T> data = Buffer<T>::uninit(shape.size());
        return create(std::move(shape), std::move(data));
    }

    std::size_t size() const { return data.size(); }
    std::size_t ndim() const { return shape.ndim(); }

    const T* get(std::span<const std::uint64_t> index) const { return const_cast<NdArray*>(this)->get_mut(index); }

    T* get_mut(std::span<const std::uint64_t> index) {
        if (index.size() != shape.ndim()) return nullptr;
        std::uint64_t offset = 0;
        for (std::size_t d = 0; d < index.size(); ++d) {
            if (index[d] >= shape.dims[d]) return nullptr;
            offset += index[d] * strides[d];
        }
        if (offset >= data.size()) return nullptr;
        return &data[offset];
    }

    NdArray take(std::span<const std::uint64_t> positions) const {
        Buffer<T> out = Buffer<T>::uninit(positions.size());
        for (std::size_t k = 0; k < positions.size(); ++k) {
            check_index(positions[k], data.size());
            out[k] = data[positions[k]];
        }
        return create(Shape::d1(positions.size()), std::move(out));
    }

    template <class F>
    NdArray map(F&& f) const {
        Buffer<T> out = Buffer<T>::uninit(data.size());
        const T* src = data.data();
        T* dst = out.data();
        const std::size_t n = data.size();
        for (std::size_t i = 0; i < n; ++i) dst[i] = f(src[i]);
        return create(shape, std::move(out));
    }

    NdArray clone() const { return *this; }
};

using ArrayF64 = NdArray<double>;
using ArrayI64 = NdArray<std::int64_t>;

}  // namespace kestrum
