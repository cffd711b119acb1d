// Shortest round-trip formatting of doubles and the repr of arrays.
#include "array/format.hpp"

#include <charconv>
#include <cmath>

namespace kestrum {

void append_f64(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "NaN";
        return;
    }
    if (std::isinf(x)) {
        out += x < 0 ? "-inf" : "inf";
        return;
    }
    if (x == 0.0) {
        out += std::signbit(x) ? "-0.0" : "0.0";
        return;
    }
    // Shortest round-trip digits, as d.ddde±X.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    const char* p = buf;
    const char* end = res.ptr;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    char digits[32];
    int nd = 0;
    for (; p < end && *p != 'e'; ++p)
        if (*p != '.') digits[nd++] = *p;
    int exp10 = 0;
    if (p < end) std::from_chars(p + 1 + (p[1] == '+'), end, exp10);

    if (exp10 >= -4 && exp10 < 16) {
        if (exp10 >= 0) {
            for (int i = 0; i <= exp10; ++i) out += i < nd ? digits[i] : '0';
            out += '.';
            if (nd > exp10 + 1) out.append(digits + exp10 + 1, nd - exp10 - 1);
            else out += '0';
        } else {
            out += "0.";
            out.append(static_cast<std::size_t>(-exp10 - 1), '0');
            out.append(digits, nd);
        }
        return;
    }
    out += digits[0];
    if (nd > 1) {
        out += '.';
        out.append(digits + 1, nd - 1);
    }
    out += 'e';
    out += std::to_string(exp10);
}

std::string repr(const ArrayF64& a) {
    std::string s = "Array(shape=";
    s += format_dims(a.shape.dims);
    s += ", data=[";
    s.reserve(s.size() + a.size() * 8 + 2);
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (i) s += ", ";
        append_f64(s, a.data[i]);
    }
    s += "])";
    return s;
}

}  // namespace kestrum
