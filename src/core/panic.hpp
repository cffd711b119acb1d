// Failure types of the core. The core never touches Python; the binding layer maps
//   Panic  -> PanicException (a violated internal invariant)
//   Error  -> the exception type the entry calls for (mostly ValueError)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace kestrum {

struct Panic {
    std::string message;
};

// A contract violation the caller can fix; carries the exact user-facing message.
struct Error {
    std::string message;
};

[[noreturn]] void panic(std::string message);

// "assertion `left == right` failed: MSG\n  left: L\n right: R"
[[noreturn]] void panic_assert_eq(std::string_view message, std::string_view left, std::string_view right);

template <class L, class R>
[[noreturn]] void panic_assert_eq(std::string_view message, const L& left, const R& right) {
    panic_assert_eq(message, std::string_view(std::to_string(left)), std::string_view(std::to_string(right)));
}

// "index out of bounds: the len is N but the index is I"
[[noreturn]] void panic_bounds(std::size_t len, std::size_t index);

// The message of an absent value that must be present.
[[noreturn]] void panic_unwrap_none();

inline void check_eq(std::size_t left, std::size_t right, std::string_view message) {
    if (left != right) panic_assert_eq(message, left, right);
}

inline void check_index(std::size_t index, std::size_t len) {
    if (index >= len) panic_bounds(len, index);
}

// Result of a core operation that can fail with an Error.
template <class T>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    T& value() { return std::get<0>(v_); }
    const Error& error() const { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

}  // namespace kestrum
