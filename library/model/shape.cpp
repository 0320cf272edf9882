#include "model/shape.h"

#include <algorithm>

#include "system/word_scan.h"

namespace tornavel {

std::string not_square(std::int64_t rows, std::int64_t columns) {
  return "matrix is not square (" + std::to_string(rows) + " rows, " + std::to_string(columns) + " columns)";
}

std::string too_many_items(std::int64_t items) {
  return std::string("more than ") + most_count_words + " items (" + std::to_string(items) + ")";
}

std::string shape_fault(std::int64_t rows, std::int64_t columns) {
  if (columns < 0) return "a negative number of columns (" + std::to_string(columns) + ")";
  if (rows < 0) return "a negative number of rows (" + std::to_string(rows) + ")";
  // Rows and columns are indexed by the same items, and the ranking permutes both by one order.
  if (rows > 0 && columns > 0 && rows != columns) return not_square(rows, columns);
  if (std::max(rows, columns) > most_items) return too_many_items(std::max(rows, columns));
  return "";
}

std::string negative_count_fault(std::int32_t columns, std::size_t first_row, std::span<const std::int32_t> counts) {
  // Nearly every call finds none: one vectorised pass says so.
  if (or_of_words(counts) >= 0) return "";
  const auto culprit = std::find_if(counts.begin(), counts.end(), [](auto x) { return x < 0; });
  const auto at = static_cast<std::size_t>(culprit - counts.begin());
  const auto row_words = static_cast<std::size_t>(columns);
  return "negative count " + std::to_string(*culprit) + " at row " + std::to_string(first_row + at / row_words) +
         ", column " + std::to_string(at % row_words);
}

}  // namespace tornavel
