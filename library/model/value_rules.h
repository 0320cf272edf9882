// What a count is: a whole number from 0 to 2^31 - 1. Every reader of every format, and every
// array handed to the ranking, applies these rules to a value before it takes it as a count,
// and refuses it in these words.
#ifndef TORNAVEL_MODEL_VALUE_RULES_H_
#define TORNAVEL_MODEL_VALUE_RULES_H_

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tornavel {

// The largest count, and the most items a matrix has (rows and columns are indexed by 32-bit
// integers); most_count_words is how every message names it.
inline constexpr std::int32_t most_count = 2147483647;
inline constexpr char most_count_words[] = "2^31 - 1";

// "" if value is a count, else why not: "negative value -1", "value 3000000000 beyond 2^31 - 1",
// "fractional value 2.5", "not a number: nan", "infinite value inf".
std::string value_fault(std::int64_t value);
std::string value_fault(std::uint64_t value);
std::string value_fault(double value);

// "value TEXT beyond 2^31 - 1", of a value written as text.
std::string value_beyond(const std::string& text);

// Repeated entries of one place add up; why their sum is refused: "repeated entries add up
// beyond 2^31 - 1", with where (" at (1, 2)") after "entries".
std::string repeated_entries_beyond(const std::string& where = "");

// An element of an array that is not a count: what() reads "element (R, K): REASON", rows and
// columns counted from 0.
class value_refused : public std::invalid_argument {
 public:
  value_refused(std::int64_t row, std::int64_t column, const std::string& reason);
  std::int64_t row() const noexcept { return row_; }
  std::int64_t column() const noexcept { return column_; }

 private:
  std::int64_t row_, column_;
};

// An array whose elements are of a type that holds no counts (text, complex numbers, ...).
class type_refused : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

}  // namespace tornavel

#endif  // TORNAVEL_MODEL_VALUE_RULES_H_
