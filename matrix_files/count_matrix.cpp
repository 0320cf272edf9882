#include "matrix_files/count_matrix.h"

#include <array>
#include <cstdint>
#include <string>

#include "matrix_files/coding.h"
#include "matrix_files/file_error.h"

namespace tornavel {
namespace {

constexpr std::int64_t header_bytes = 8;

// Checks the header against the file's length. The header is untrusted: it is checked before
// it sizes anything, so a few bytes cannot make the loader allocate gigabytes.
void check_header(const std::string& name, std::int32_t columns, std::int32_t rows,
                  std::int64_t length) {
  if (columns < 0) {
    throw file_error(name, "header gives a negative number of columns (" +
                               std::to_string(columns) + ")");
  }
  if (rows < 0) {
    throw file_error(name,
                     "header gives a negative number of rows (" + std::to_string(rows) + ")");
  }
  // Rows and columns are indexed by the same items, and the ranking permutes both by one order.
  if (rows > 0 && columns > 0 && rows != columns) {
    throw file_error(name, "matrix is not square (" + std::to_string(columns) + " columns, " +
                               std::to_string(rows) + " rows)");
  }
  // Both factors are below 2^31, so the product and the whole size fit in 64 unsigned bits.
  const std::uint64_t needed = static_cast<std::uint64_t>(header_bytes) +
                               4 * static_cast<std::uint64_t>(rows) *
                                   static_cast<std::uint64_t>(columns);
  if (static_cast<std::uint64_t>(length) < needed) {
    throw file_error(name, "file is shorter than its header says");
  }
}

void check_counts(const std::string& name, const count_matrix& matrix) {
  for (std::size_t i = 0; i < matrix.counts.size(); ++i) {
    if (matrix.counts[i] < 0) {
      const auto columns = static_cast<std::size_t>(matrix.columns);
      throw file_error(name, "negative count " + std::to_string(matrix.counts[i]) + " at row " +
                                 std::to_string(i / columns) + ", column " +
                                 std::to_string(i % columns));
    }
  }
}

}  // namespace

count_matrix load_stream(file_stream& stream) {
  const std::int64_t length = stream_length(stream);
  if (length < header_bytes) {
    throw file_error(stream.name(), "file is too short to hold a header (" +
                                        std::to_string(length) + " bytes)");
  }
  std::array<unsigned char, header_bytes> header;
  read_exact(stream, header.data(), header.size(), "file is shorter than its header says");
  count_matrix matrix;
  matrix.columns = decode_fixed32(header.data());
  matrix.rows = decode_fixed32(header.data() + 4);
  check_header(stream.name(), matrix.columns, matrix.rows, length);

  matrix.counts.resize(static_cast<std::size_t>(matrix.rows) *
                       static_cast<std::size_t>(matrix.columns));
  read_exact(stream, matrix.counts.data(), matrix.counts.size() * sizeof(std::int32_t),
             "file is shorter than its header says");
  swap_to_file_order(matrix.counts);
  check_counts(stream.name(), matrix);
  return matrix;
}

count_matrix load_file(const std::string& path) {
  file_stream stream = file_stream::open(path, "rb");
  count_matrix matrix = load_stream(stream);
  stream.close();
  return matrix;
}

void write_count_matrix(file_stream& stream, std::int32_t columns, std::int32_t rows,
                        std::span<const std::int32_t> counts) {
  put_word(columns, stream);
  put_word(rows, stream);
  write_words(stream, counts);
}

staged_file save_count_matrix(const std::string& path, std::int32_t columns, std::int32_t rows,
                              std::span<const std::int32_t> counts) {
  staged_file file(path);
  write_count_matrix(file.stream(), columns, rows, counts);
  file.finish();
  return file;
}

}  // namespace tornavel
