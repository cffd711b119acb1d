// Owned contiguous storage for array elements. Unlike std::vector it can be allocated
// uninitialised (every producer writes each element exactly once) or zero-filled by the
// allocator (calloc hands out zero pages without writing them).
#pragma once

#include <sys/mman.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/panic.hpp"

namespace kestrum {

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>, "Buffer holds plain numbers");

public:
    Buffer() = default;

    static Buffer uninit(std::size_t n) { return Buffer(allocate(n, false), n); }
    static Buffer zeroed(std::size_t n) { return Buffer(allocate(n, true), n); }
    static Buffer filled(std::size_t n, T value) {
        Buffer b = uninit(n);
        for (std::size_t i = 0; i < n; ++i) b.ptr_[i] = value;
        return b;
    }
    static Buffer from(const T* src, std::size_t n) {
        Buffer b = uninit(n);
        if (n) std::memcpy(b.ptr_, src, n * sizeof(T));
        return b;
    }

    Buffer(std::initializer_list<T> values) : Buffer(from(values.begin(), values.size())) {}
    explicit Buffer(const std::vector<T>& values) : Buffer(from(values.data(), values.size())) {}

    Buffer(const Buffer& other) : Buffer(from(other.ptr_, other.len_)) {}
    Buffer(Buffer&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)), len_(std::exchange(other.len_, 0)) {}
    Buffer& operator=(Buffer other) noexcept {
        std::swap(ptr_, other.ptr_);
        std::swap(len_, other.len_);
        return *this;
    }
    ~Buffer() { std::free(ptr_); }

    std::size_t size() const { return len_; }
    bool empty() const { return len_ == 0; }
    T* data() { return ptr_; }
    const T* data() const { return ptr_; }
    T* begin() { return ptr_; }
    T* end() { return ptr_ + len_; }
    const T* begin() const { return ptr_; }
    const T* end() const { return ptr_ + len_; }
    T& operator[](std::size_t i) { return ptr_[i]; }
    const T& operator[](std::size_t i) const { return ptr_[i]; }

    // Checked access: an index outside the storage is an invariant failure.
    T& at(std::size_t i) {
        check_index(i, len_);
        return ptr_[i];
    }
    const T& at(std::size_t i) const {
        check_index(i, len_);
        return ptr_[i];
    }

    // Drops the tail; used when fewer elements than reserved were produced.
    void truncate(std::size_t n) {
        if (n < len_) len_ = n;
    }

private:
    Buffer(T* p, std::size_t n) : ptr_(p), len_(n) {}

    static T* allocate(std::size_t n, bool zero) {
        if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) panic("capacity overflow");
        if (n == 0) return nullptr;
        void* p = zero ? std::calloc(n, sizeof(T)) : std::malloc(n * sizeof(T));
        if (!p) throw std::bad_alloc();
        advise_huge_pages(p, n * sizeof(T));
        return static_cast<T*>(p);
    }

    // Large buffers are fresh mappings that fault in page by page on first write; asking for
    // huge pages makes that a few faults instead of thousands (best effort: failure is harmless).
    static void advise_huge_pages(void* p, std::size_t bytes) {
        if (bytes < (std::size_t{1} << 22)) return;
        constexpr std::uintptr_t page = 4096;
        const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
        const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(p) + bytes;
        if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
    }

    T* ptr_ = nullptr;
    std::size_t len_ = 0;
};

}  // namespace kestrum
