#include "lib/number_text.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string_view>

namespace vandra {
namespace {

// The shortest decimal digits that read back as `value` (finite): value = 0.digits x
// 10^point, with the sign apart.
struct Digits {
    bool negative = false;
    std::string digits;
    long point = 0;
};

Digits shortest_digits(double value) {
    // The shortest scientific form ("d.ddde+XX") carries the shortest digits. (Fixed notation
    // without a precision is shortest in characters instead: it writes 1e23 as the 23 digits
    // of the exact binary value.)
    char sci[32];
    const auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    if (res.ec != std::errc()) throw std::runtime_error("float formatting failed");
    const std::string_view text(sci, static_cast<std::size_t>(res.ptr - sci));
    const std::size_t e_at = text.find('e');
    Digits d;
    d.negative = text.front() == '-';
    for (char c : text.substr(d.negative ? 1 : 0, e_at - (d.negative ? 1 : 0))) {
        if (c != '.') d.digits += c;
    }
    int exponent = 0;
    const char* exp_begin = text.data() + e_at + 1;
    if (*exp_begin == '+') ++exp_begin;
    std::from_chars(exp_begin, text.data() + text.size(), exponent);
    d.point = static_cast<long>(exponent) + 1;
    return d;
}

// digits with the decimal point `point` places in, padded with zeros on either side.
std::string positional(const Digits& d) {
    const auto n = static_cast<long>(d.digits.size());
    std::string out = d.negative ? "-" : "";
    if (d.point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-d.point), '0');
        out += d.digits;
    } else if (d.point >= n) {
        out += d.digits;
        out.append(static_cast<std::size_t>(d.point - n), '0');
    } else {
        out.append(d.digits, 0, static_cast<std::size_t>(d.point));
        out += '.';
        out.append(d.digits, static_cast<std::size_t>(d.point));
    }
    return out;
}

}  // namespace

std::string float_to_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    return positional(shortest_digits(value));
}

std::string python_float_text(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    const Digits d = shortest_digits(value);
    if (d.point > -4 && d.point <= 16) {
        std::string out = positional(d);
        if (d.point >= static_cast<long>(d.digits.size())) out += ".0";
        return out;
    }
    std::string out = d.negative ? "-" : "";
    out += d.digits[0];
    if (d.digits.size() > 1) {
        out += '.';
        out.append(d.digits, 1);
    }
    const long exponent = d.point - 1;
    out += exponent < 0 ? "e-" : "e+";
    const long magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
    return out;
}

std::string integer_text(std::int64_t value) {
    return std::to_string(value);
}
std::string integer_text(std::uint64_t value) {
    return std::to_string(value);
}

}  // namespace vandra
