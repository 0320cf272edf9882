#include "matrix_files/count_matrix.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "matrix_files/coding.h"
#include "matrix_files/file_error.h"

namespace tornavel {
namespace {

constexpr std::int64_t header_bytes = 8;

// Returns why a header of these values cannot describe a count matrix, or "" if it can.
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

// The smallest and the largest of some counts, in one pass the compiler vectorises.
struct count_range {
  std::int32_t lowest = 0;
  std::int32_t largest = 0;

  void take(std::span<const std::int32_t> counts) {
    std::int32_t lo = lowest, hi = largest;
    for (std::int32_t x : counts) {
      lo = std::min(lo, x);
      hi = std::max(hi, x);
    }
    lowest = lo;
    largest = hi;
  }
};

// Returns why the counts cannot be a count matrix's, or "" if they can.
std::string count_fault(std::int32_t columns, std::span<const std::int32_t> counts) {
  const auto culprit = std::find_if(counts.begin(), counts.end(), [](auto x) { return x < 0; });
  if (culprit == counts.end()) return "";
  const auto at = static_cast<std::size_t>(culprit - counts.begin());
  const auto row_words = static_cast<std::size_t>(columns);
  return "negative count " + std::to_string(*culprit) + " at row " +
         std::to_string(at / row_words) + ", column " + std::to_string(at % row_words);
}

}  // namespace

count_matrix load_stream(file_stream& stream) {
  // A pipe has no length to check the header against in advance; it is read as it comes.
  const std::optional<std::int64_t> length =
      stream_is_seekable(stream) ? std::optional(stream_length(stream)) : std::nullopt;
  std::array<unsigned char, header_bytes> header;
  if (const std::size_t got = read_up_to(stream, header.data(), header.size()); got < header.size()) {
    throw file_error(stream.name(), "file is too short to hold a header (" + std::to_string(got) +
                                        " bytes)");
  }
  count_matrix matrix;
  matrix.columns = decode_fixed32(header.data());
  matrix.rows = decode_fixed32(header.data() + 4);
  // The header is untrusted: it is checked against the file's length before it sizes anything,
  // so a few bytes cannot make the loader allocate gigabytes.
  if (const std::string fault = shape_fault(matrix.columns, matrix.rows); !fault.empty()) {
    throw file_error(stream.name(), fault);
  }
  // Both factors are below 2^31, so the product fits in 64 unsigned bits.
  const std::uint64_t words =
      static_cast<std::uint64_t>(matrix.rows) * static_cast<std::uint64_t>(matrix.columns);
  constexpr char short_file[] = "file is shorter than its header says";
  if (length && static_cast<std::uint64_t>(*length - header_bytes) / 4 < words) {
    throw file_error(stream.name(), short_file);
  }
  if (length) matrix.counts.resize(static_cast<std::size_t>(words));

  // Piece by piece, each checked while it is still in cache rather than in a second pass over
  // the whole matrix. Without a known length the buffer grows only as counts arrive.
  constexpr std::size_t piece_words = std::size_t{2} << 20;
  count_range range;
  for (std::size_t at = 0; at < words; at += piece_words) {
    const std::size_t size = std::min<std::size_t>(piece_words, words - at);
    if (!length) {
      if (at + size > matrix.counts.capacity()) {
        matrix.counts.reserve(std::max(at + size, 2 * matrix.counts.capacity()));
      }
      matrix.counts.resize(at + size);
    }
    const std::span<std::int32_t> piece = std::span(matrix.counts).subspan(at, size);
    read_exact(stream, piece.data(), piece.size_bytes(), short_file);
    swap_to_file_order(piece);
    range.take(piece);
  }
  if (range.lowest < 0) throw file_error(stream.name(), count_fault(matrix.columns, matrix.counts));
  matrix.largest_count = range.largest;
  return matrix;
}

count_matrix make_count_matrix(std::int32_t columns, std::int32_t rows, count_vector counts) {
  std::string fault = shape_fault(columns, rows);
  if (fault.empty() && counts.size() != static_cast<std::size_t>(columns) *
                                            static_cast<std::size_t>(rows)) {
    fault = "counts do not fill the shape";
  }
  if (fault.empty()) fault = count_fault(columns, counts);
  if (!fault.empty()) throw std::invalid_argument(fault);
  count_range range;
  range.take(counts);
  return count_matrix{columns, rows, std::move(counts), range.largest};
}

count_matrix load_file(const std::string& path) {
  file_stream stream = file_stream::open(path, "rb");
  count_matrix matrix = load_stream(stream);
  stream.close();
  return matrix;
}

void write_count_matrix(file_stream& stream, std::int32_t columns, std::int32_t rows,
                        const row_filler& fill) {
  put_word(columns, stream);
  put_word(rows, stream);
  const auto row_words = static_cast<std::size_t>(columns);
  const std::size_t total_rows = columns == 0 ? 0 : static_cast<std::size_t>(rows);
  if (total_rows == 0) return;
  // Two pieces of about 2 MiB in turn: while a second thread writes one to the file (time spent
  // copying in the kernel), this one fills the other. The bytes are the same as from a plain
  // loop. `writing` is declared after `pieces`, so on an exception it is destroyed first and
  // waits for its write before the piece it reads is freed.
  const std::size_t piece_rows = std::max<std::size_t>(1, (std::size_t{1} << 19) / row_words);
  std::array<count_vector, 2> pieces;
  std::future<void> writing;
  for (std::size_t first = 0, turn = 0; first < total_rows; first += piece_rows, turn ^= 1) {
    count_vector& piece = pieces[turn];
    piece.resize(std::min(piece_rows, total_rows - first) * row_words);
    fill(first, piece);
    swap_to_file_order(piece);
    if (writing.valid()) writing.get();  // rethrows a failed write
    writing = std::async(std::launch::async,
                         [&stream, &piece] {
                           write_exact(stream, piece.data(), piece.size() * sizeof(std::int32_t));
                         });
  }
  writing.get();
}

namespace {

// The filler for counts held whole in memory.
row_filler rows_of(std::span<const std::int32_t> counts, std::int32_t columns) {
  return [counts, columns](std::size_t first_row, std::span<std::int32_t> out) {
    const std::size_t first = first_row * static_cast<std::size_t>(columns);
    std::copy_n(counts.begin() + static_cast<std::ptrdiff_t>(first), out.size(), out.begin());
  };
}

}  // namespace

void write_count_matrix(file_stream& stream, std::int32_t columns, std::int32_t rows,
                        std::span<const std::int32_t> counts) {
  write_count_matrix(stream, columns, rows, rows_of(counts, columns));
}

staged_file save_count_matrix(const std::string& path, std::int32_t columns, std::int32_t rows,
                              const row_filler& fill) {
  staged_file file(path);
  write_count_matrix(file.stream(), columns, rows, fill);
  file.finish();
  return file;
}

staged_file save_count_matrix(const std::string& path, std::int32_t columns, std::int32_t rows,
                              std::span<const std::int32_t> counts) {
  return save_count_matrix(path, columns, rows, rows_of(counts, columns));
}

}  // namespace tornavel
