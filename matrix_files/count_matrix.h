// The count matrix: a square table of non-negative 32-bit counts, rows and columns indexed by the
// same items, and the rules a header and its counts must meet.
#ifndef TORNAVEL_MATRIX_FILES_COUNT_MATRIX_H_
#define TORNAVEL_MATRIX_FILES_COUNT_MATRIX_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "matrix_files/uninitialized_counts.h"

namespace tornavel {

// A count matrix held whole in memory. make_count_matrix and load_count_matrix guarantee what
// the rest of the program relies on: columns >= 0, rows >= 0, rows == columns whenever both are
// positive, counts.size() == rows * columns, every count >= 0, and largest_count the largest.
struct count_matrix {
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  uninitialized_counts counts;
  std::int32_t largest_count = 0;  // 0 when there are no counts

  // The rows that hold counts: none when there are no columns, however many the header names,
  // so that a loop over rows costs nothing for an empty matrix.
  std::size_t stored_rows() const { return counts.empty() ? 0 : static_cast<std::size_t>(rows); }

  std::int32_t at(std::size_t row, std::size_t column) const {
    return counts[row * static_cast<std::size_t>(columns) + column];
  }
};

// Returns why a header of these values cannot describe a count matrix, or "" if it can.
std::string shape_fault(std::int32_t columns, std::int32_t rows);

// Returns why these counts, whole rows of a matrix with the given number of columns starting at
// row first_row, cannot be a count matrix's (a negative count, named by its row and column), or
// "" if they can.
std::string count_fault(std::int32_t columns, std::size_t first_row,
                        std::span<const std::int32_t> counts);

// The largest of some counts, 0 for none.
std::int32_t largest_of(std::span<const std::int32_t> counts);

// A count matrix from counts already in memory, checked as a file is. Throws
// std::invalid_argument with the reason.
count_matrix make_count_matrix(std::int32_t columns, std::int32_t rows,
                               uninitialized_counts counts);

}  // namespace tornavel

#endif  // TORNAVEL_MATRIX_FILES_COUNT_MATRIX_H_
