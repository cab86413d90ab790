// The benchmark's console report. Every call writes one complete line,
// ended by '\n'.
//
// Free-form records start with one blank; an integer item is right-justified
// in 12 characters. Formatted records are a literal (which brings its own
// leading blank) and at most one field: an integer in 2 characters ("**"
// when it does not fit), or a real rounded to 2 decimals in 8 characters
// ("********" when it does not fit). Rounding is to nearest on the exact
// binary value, ties to the even last digit.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace pchol::report {

// " " + text + value in 12 characters.
void free_form(std::ostream& out, std::string_view text, std::int32_t value);
// A free-form record without items: a line holding one blank.
void blank(std::ostream& out);
// The literal alone.
void literal(std::ostream& out, std::string_view text);
// The literal and a 2-character integer field.
void with_int2(std::ostream& out, std::string_view text, std::int32_t value);
// The literal and an 8-character field with 2 decimals.
void with_fixed82(std::ostream& out, std::string_view text, float value);

// The fields on their own.
std::string int_field(std::int32_t value, int width);
std::string fixed82_field(float value);

}  // namespace pchol::report
