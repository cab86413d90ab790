#include "pchol/report.hpp"

#include <cmath>
#include <cstdint>

namespace pchol::report {
namespace {

// |value| in hundredths, rounded to nearest with ties to even, computed on
// the exact binary value. Only called for |value| < 2^24, where the float's
// significand m and exponent e (value = m * 2^e, m < 2^24) give the exact
// product m * 100 in 64 bits.
std::uint64_t hundredths(float magnitude) {
    int exponent = 0;
    const float fraction = std::frexp(magnitude, &exponent);  // magnitude = fraction * 2^exponent
    const auto m = static_cast<std::uint64_t>(std::ldexp(fraction, 24));
    const int e = exponent - 24;  // magnitude = m * 2^e exactly
    const std::uint64_t scaled = m * 100u;
    if (e >= 0) return scaled << e;
    const int shift = -e;
    if (shift >= 40) return 0;  // m * 100 < 2^31: below one half of a hundredth
    const std::uint64_t q = scaled >> shift;
    const std::uint64_t r = scaled - (q << shift);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (r > half || (r == half && (q & 1u) != 0)) return q + 1;
    return q;
}

std::string right_justify(const std::string& text, int width) {
    if (static_cast<int>(text.size()) >= width) return text;
    return std::string(static_cast<std::size_t>(width) - text.size(), ' ') + text;
}

}  // namespace

std::string int_field(std::int32_t value, int width) {
    const std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) > width) return std::string(static_cast<std::size_t>(width), '*');
    return right_justify(digits, width);
}

std::string fixed82_field(float value) {
    constexpr int width = 8;
    if (std::isnan(value)) return right_justify("NaN", width);
    const float magnitude = std::fabs(value);
    if (!(magnitude < 16777216.0f)) return std::string(width, '*');
    const std::uint64_t h = hundredths(magnitude);
    std::string text = std::to_string(h / 100) + '.';
    text += static_cast<char>('0' + (h / 10) % 10);
    text += static_cast<char>('0' + h % 10);
    if (value < 0.0f) text.insert(text.begin(), '-');
    if (static_cast<int>(text.size()) > width) return std::string(width, '*');
    return right_justify(text, width);
}

void free_form(std::ostream& out, std::string_view text, std::int32_t value) {
    out << ' ' << text << int_field(value, 12) << '\n';
}

void blank(std::ostream& out) {
    out << " \n";
}

void literal(std::ostream& out, std::string_view text) {
    out << text << '\n';
}

void with_int2(std::ostream& out, std::string_view text, std::int32_t value) {
    out << text << int_field(value, 2) << '\n';
}

void with_fixed82(std::ostream& out, std::string_view text, float value) {
    out << text << fixed82_field(value) << '\n';
}

}  // namespace pchol::report
