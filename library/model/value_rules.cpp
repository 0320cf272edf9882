#include "model/value_rules.h"

#include <cmath>
#include <cstdio>

namespace tornavel {

std::string value_fault(std::int64_t value) {
  if (value < 0) return "negative value " + std::to_string(value);
  return value_fault(static_cast<std::uint64_t>(value));
}

std::string value_fault(std::uint64_t value) {
  return value > static_cast<std::uint64_t>(most_count) ? value_beyond(std::to_string(value)) : "";
}

std::string value_fault(double value) {
  // Compared in double, where 2^31 - 1 is exact (2147483648.0, a float32's 2^31 - 1, is not a
  // count). The text of a value is made only for the message of one refused.
  if (value >= 0 && value <= static_cast<double>(most_count) && value == std::floor(value)) return "";
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  if (std::isnan(value)) return "not a number: nan";
  if (std::isinf(value)) return std::string("infinite value ") + text;
  if (value < 0) return std::string("negative value ") + text;
  if (value != std::floor(value)) return std::string("fractional value ") + text;
  return value_beyond(text);
}

std::string value_beyond(const std::string& text) { return "value " + text + " beyond " + most_count_words; }

std::string repeated_entries_beyond(const std::string& where) {
  return "repeated entries" + where + " add up beyond " + most_count_words;
}

value_refused::value_refused(std::int64_t row, std::int64_t column, const std::string& reason)
    : std::invalid_argument("element (" + std::to_string(row) + ", " + std::to_string(column) +
                            "): " + reason),
      row_(row),
      column_(column) {}

}  // namespace tornavel
