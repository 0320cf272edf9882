// The count-matrix file: a square table of non-negative 32-bit counts.
//
// Layout, every word little-endian two's complement:
//   offset 0   columns   the length of one row
//   offset 4   rows      the number of rows
//   offset 8   counts    rows * columns words, row-major: row r, column k at 8 + 4 * (r * columns + k)
// There is no magic number, version or checksum; bytes after the counts are ignored.
#ifndef TORNAVEL_MATRIX_FILES_COUNT_MATRIX_H_
#define TORNAVEL_MATRIX_FILES_COUNT_MATRIX_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "matrix_files/count_vector.h"
#include "matrix_files/file_stream.h"
#include "matrix_files/staged_file.h"

namespace tornavel {

// A loaded count-matrix file. load_file and make_count_matrix guarantee what the rest of the
// program relies on: columns >= 0, rows >= 0, rows == columns whenever both are positive,
// counts.size() == rows * columns, every count >= 0, and largest_count the largest of them.
struct count_matrix {
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  count_vector counts;
  std::int32_t largest_count = 0;  // 0 when there are no counts

  // The rows that hold counts: none when there are no columns, however many the header names,
  // so that a loop over rows costs nothing for an empty matrix.
  std::size_t stored_rows() const { return counts.empty() ? 0 : static_cast<std::size_t>(rows); }

  std::int32_t at(std::size_t row, std::size_t column) const {
    return counts[row * static_cast<std::size_t>(columns) + column];
  }
};

// Reads and validates the count-matrix file at path. The file is closed before this returns.
// Throws file_error when it cannot be read or is not a well-formed count matrix, before any
// allocation much larger than the file itself. The path may name a pipe (/dev/stdin).
count_matrix load_file(const std::string& path);

// The same from an open stream, read from its start if it is seekable.
count_matrix load_stream(file_stream& stream);

// A count matrix from counts already in memory, checked as load_file checks a file. Throws
// std::invalid_argument with the reason.
count_matrix make_count_matrix(std::int32_t columns, std::int32_t rows, count_vector counts);

// Fills out with the counts of consecutive rows, starting at row first_row; out holds a whole
// number of rows. Lets a writer produce a large matrix a few rows at a time.
using row_filler = std::function<void(std::size_t first_row, std::span<std::int32_t> out)>;

// Writes a count-matrix file to stream: the header words, then rows * columns counts, produced
// by fill in pieces of about a megabyte (or one row, if that is more).
void write_count_matrix(file_stream& stream, std::int32_t columns, std::int32_t rows,
                        const row_filler& fill);
// The same with the counts given whole.
void write_count_matrix(file_stream& stream, std::int32_t columns, std::int32_t rows,
                        std::span<const std::int32_t> counts);

// Writes a count-matrix file destined for path and returns it finished but unpublished.
staged_file save_count_matrix(const std::string& path, std::int32_t columns, std::int32_t rows,
                              const row_filler& fill);
staged_file save_count_matrix(const std::string& path, std::int32_t columns, std::int32_t rows,
                              std::span<const std::int32_t> counts);

}  // namespace tornavel

#endif  // TORNAVEL_MATRIX_FILES_COUNT_MATRIX_H_
