#include "matrix_files/count_matrix.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace tornavel {

std::string shape_fault(std::int32_t columns, std::int32_t rows) {
  if (columns < 0) {
    return "header gives a negative number of columns (" + std::to_string(columns) + ")";
  }
  if (rows < 0) return "header gives a negative number of rows (" + std::to_string(rows) + ")";
  // Rows and columns are indexed by the same items, and the ranking permutes both by one order.
  if (rows > 0 && columns > 0 && rows != columns) {
    return "matrix is not square (" + std::to_string(columns) + " columns, " +
           std::to_string(rows) + " rows)";
  }
  return "";
}

std::string count_fault(std::int32_t columns, std::size_t first_row,
                        std::span<const std::int32_t> counts) {
  // A negative count has its sign bit set, so the OR of all counts is negative exactly when one
  // is. Eight lanes, so that the compiler turns the loop into vector instructions at any
  // optimisation level and for any instruction set; nearly every call finds none.
  std::int32_t lanes[8] = {};
  std::size_t i = 0;
  for (; i + 8 <= counts.size(); i += 8) {
    for (std::size_t j = 0; j < 8; ++j) lanes[j] |= counts[i + j];
  }
  std::int32_t any = 0;
  for (; i < counts.size(); ++i) any |= counts[i];
  for (std::int32_t lane : lanes) any |= lane;
  if (any >= 0) return "";
  const auto culprit = std::find_if(counts.begin(), counts.end(), [](auto x) { return x < 0; });
  const auto at = static_cast<std::size_t>(culprit - counts.begin());
  const auto row_words = static_cast<std::size_t>(columns);
  return "negative count " + std::to_string(*culprit) + " at row " +
         std::to_string(first_row + at / row_words) + ", column " +
         std::to_string(at % row_words);
}

std::int32_t largest_of(std::span<const std::int32_t> counts) {
  std::int32_t largest = 0;
  for (std::int32_t x : counts) largest = std::max(largest, x);
  return largest;
}

count_matrix make_count_matrix(std::int32_t columns, std::int32_t rows,
                               uninitialized_counts counts) {
  std::string fault = shape_fault(columns, rows);
  if (fault.empty() && counts.size() != static_cast<std::size_t>(columns) *
                                            static_cast<std::size_t>(rows)) {
    fault = "counts do not fill the shape";
  }
  if (fault.empty()) fault = count_fault(columns, 0, counts);
  if (!fault.empty()) throw std::invalid_argument(fault);
  const std::int32_t largest = largest_of(counts);
  return count_matrix{columns, rows, std::move(counts), largest};
}

}  // namespace tornavel
