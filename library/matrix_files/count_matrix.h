// A count matrix held whole in memory: the image of a count-matrix file read from a pipe.
#ifndef TORNAVEL_MATRIX_FILES_COUNT_MATRIX_H_
#define TORNAVEL_MATRIX_FILES_COUNT_MATRIX_H_

#include <cstddef>
#include <cstdint>

#include "system/large_memory.h"

namespace tornavel {

// What load_count_matrix guarantees: columns >= 0, rows >= 0, rows == columns whenever both are
// positive, counts.size() == stored_rows() * columns, every count >= 0.
struct count_matrix {
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  large_vector<std::int32_t> counts;

  // The rows that hold counts: none when there are no columns, however many the header names,
  // so that a loop over rows costs nothing for an empty matrix.
  std::size_t stored_rows() const { return counts.empty() ? 0 : static_cast<std::size_t>(rows); }
};

}  // namespace tornavel

#endif  // TORNAVEL_MATRIX_FILES_COUNT_MATRIX_H_
