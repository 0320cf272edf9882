#include "formats/count_text.h"

#include <algorithm>
#include <cctype>

#include "files/file_error.h"
#include "model/value_rules.h"

namespace tornavel {
namespace {

// The parts of a number written in decimal: its sign, its digits without the point, and the
// power of ten they are scaled by.
struct decimal {
  bool negative = false;
  std::string_view integer, fraction;
  std::int64_t exponent = 0;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Splits text into a decimal; false if it is not one.
bool split_decimal(std::string_view text, decimal& d) {
  std::size_t at = 0;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) d.negative = text[at++] == '-';
  const std::size_t integer_start = at;
  while (at < text.size() && is_digit(text[at])) ++at;
  d.integer = text.substr(integer_start, at - integer_start);
  if (at < text.size() && text[at] == '.') {
    const std::size_t fraction_start = ++at;
    while (at < text.size() && is_digit(text[at])) ++at;
    d.fraction = text.substr(fraction_start, at - fraction_start);
  }
  if (d.integer.empty() && d.fraction.empty()) return false;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    bool negative_exponent = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative_exponent = text[at++] == '-';
    if (at == text.size() || !is_digit(text[at])) return false;
    for (; at < text.size() && is_digit(text[at]); ++at) {
      // Past a billion, any exponent says the same: far too large, or far too small to be whole.
      d.exponent = std::min<std::int64_t>(d.exponent * 10 + (text[at] - '0'), 1000000000);
    }
    if (negative_exponent) d.exponent = -d.exponent;
  }
  return at == text.size();
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == y;
         });
}

// "nan" or "inf"/"infinity", any case, with an optional sign: 'n', 'i' or 0.
char special_value(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  if (equals_ignoring_case(text, "nan")) return 'n';
  if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity")) return 'i';
  return 0;
}

}  // namespace

std::string shown_text(std::string_view text) {
  constexpr std::size_t most = 40;
  if (text.size() <= most) return printable_name(std::string(text));
  return printable_name(std::string(text.substr(0, most))) + "...";
}

bool looks_like_number(std::string_view text) {
  decimal d;
  return split_decimal(text, d) || special_value(text) != 0;
}

std::string parse_count(std::string_view text, std::int32_t& count) {
  if (text.empty()) return "empty cell";
  if (const std::int32_t plain = plain_count(text); plain >= 0) {
    count = plain;
    return "";
  }
  decimal d;
  if (!split_decimal(text, d)) {
    if (special_value(text) == 'i') return "infinite value " + shown_text(text);
    return "not a number: " + shown_text(text);
  }
  // The value is digits * 10^scale, digits without leading or trailing zeros.
  std::string digits;
  digits.reserve(d.integer.size() + d.fraction.size());
  digits.append(d.integer).append(d.fraction);
  std::int64_t scale = d.exponent - static_cast<std::int64_t>(d.fraction.size());
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    count = 0;  // zero, whatever its sign or form
    return "";
  }
  const std::size_t last = digits.find_last_not_of('0');
  scale += static_cast<std::int64_t>(digits.size() - 1 - last);
  digits = digits.substr(first, last - first + 1);
  if (d.negative) return "negative value " + shown_text(text);
  if (scale < 0) return "fractional value " + shown_text(text);
  // 2^31 - 1 has 10 digits.
  if (static_cast<std::int64_t>(digits.size()) + scale > 10) {
    return value_beyond(shown_text(text));
  }
  std::uint64_t value = 0;
  for (char c : digits) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  for (std::int64_t i = 0; i < scale; ++i) value *= 10;
  if (value > static_cast<std::uint64_t>(most_count)) return value_beyond(shown_text(text));
  count = static_cast<std::int32_t>(value);
  return "";
}

}  // namespace tornavel
