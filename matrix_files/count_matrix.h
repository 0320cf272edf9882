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
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "matrix_files/file_stream.h"
#include "matrix_files/staged_file.h"

namespace tornavel {

// An allocator that leaves new elements uninitialised, so that a buffer about to be filled by a
// read of hundreds of megabytes is not first cleared for nothing.
template <typename T>
struct uninitialized_allocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = uninitialized_allocator<U>;
  };
  using std::allocator<T>::allocator;
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

using count_vector = std::vector<std::int32_t, uninitialized_allocator<std::int32_t>>;

// A loaded count-matrix file. The loader guarantees what the rest of the program relies on:
// columns >= 0, rows >= 0, rows == columns whenever both are positive, counts.size() ==
// rows * columns, and every count >= 0.
struct count_matrix {
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  count_vector counts;

  // The rows that hold counts: none when there are no columns, however many the header names,
  // so that a loop over rows costs nothing for an empty matrix.
  std::size_t stored_rows() const { return counts.empty() ? 0 : static_cast<std::size_t>(rows); }

  std::int32_t at(std::size_t row, std::size_t column) const {
    return counts[row * static_cast<std::size_t>(columns) + column];
  }
};

// Reads and validates the count-matrix file at path. The file is closed before this returns.
// Throws file_error when it cannot be read or is not a well-formed count matrix, before any
// allocation larger than the file itself.
count_matrix load_file(const std::string& path);

// The same from an open seekable stream, read from its start.
count_matrix load_stream(file_stream& stream);

// Writes a count-matrix file to stream: the header words, then the counts.
void write_count_matrix(file_stream& stream, std::int32_t columns, std::int32_t rows,
                        std::span<const std::int32_t> counts);

// Writes a count-matrix file destined for path and returns it finished but unpublished.
staged_file save_count_matrix(const std::string& path, std::int32_t columns, std::int32_t rows,
                              std::span<const std::int32_t> counts);

}  // namespace tornavel

#endif  // TORNAVEL_MATRIX_FILES_COUNT_MATRIX_H_
