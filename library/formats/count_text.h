// Counts written as text, as the text formats hold them.
#ifndef TORNAVEL_FORMATS_COUNT_TEXT_H_
#define TORNAVEL_FORMATS_COUNT_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace tornavel {

// Reads a count: a whole number from 0 to 2^31 - 1 written in any decimal or exponent form whose
// value is whole ("3", "+3", "3.0", "0.3e1", "4200000000000000000000e-20", "-0"), exactly, by
// its digits: no floating point, no locale, no hexadecimal. Returns "" and sets count, or the
// fault, naming the text: "negative value -1", "fractional value 2.5" (1e-400 too, however
// small), "value 3000000000 beyond 2^31 - 1", "not a number: nan", "infinite value inf",
// "not a number: 0x10", "empty cell".
std::string parse_count(std::string_view text, std::int32_t& count);

// A count of one to nine plain digits, as nearly every cell holds, read at once; -1 for any
// other text, which parse_count reads.
inline std::int32_t plain_count(std::string_view text) {
  if (text.empty() || text.size() > 9) return -1;
  std::int32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// Whether text is written as a number at all (a sign, digits, a point, an exponent; nan or inf),
// whatever its value: what tells a table's first row of counts from a row of labels.
bool looks_like_number(std::string_view text);

// Text from a file as it may be shown in a message: escaped as printable_name does, and cut to
// its first 40 characters, so that a huge cell cannot flood the terminal.
std::string shown_text(std::string_view text);

}  // namespace tornavel

#endif  // TORNAVEL_FORMATS_COUNT_TEXT_H_
