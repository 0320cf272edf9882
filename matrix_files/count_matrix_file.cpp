#include "matrix_files/count_matrix_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <utility>

#include "matrix_files/coding.h"
#include "matrix_files/file_error.h"

namespace tornavel {
namespace {

constexpr std::int64_t header_bytes = 8;
constexpr char short_file[] = "file is shorter than its header says";

// Whether a header's bytes are all printable text: a CSV or a table given by mistake, whose
// digits and separators make a header of absurd sizes.
bool looks_like_text(std::span<const unsigned char> header) {
  return std::all_of(header.begin(), header.end(), [](unsigned char c) {
    return (c >= 0x20 && c < 0x7f) || c == '\t' || c == '\n' || c == '\r';
  });
}

// Refuses a header for fault, or, if its bytes say what else the file is (NumPy, gzip, Matrix
// Market, a text table), for that, with the way to a count-matrix file.
[[noreturn]] void refuse_header(const std::string& name, std::span<const unsigned char> header,
                                const std::string& fault) {
  const std::string_view start(reinterpret_cast<const char*>(header.data()), header.size());
  if (start.substr(0, 6) == "\x93NUMPY") {
    throw file_error(name, "file is a NumPy .npy file, not a count-matrix file (tornavel-convert "
                           "makes one from it)");
  }
  if (start.substr(0, 2) == "\x1f\x8b") {
    throw file_error(name, "file is gzip-compressed (zcat it into tornavel /dev/stdin, or let "
                           "tornavel-convert read it)");
  }
  if (start.substr(0, 8) == "%%Matrix") {
    throw file_error(name, "file is Matrix Market, not a count-matrix file (tornavel-convert "
                           "makes one from it)");
  }
  if (looks_like_text(header)) {
    throw file_error(name,
                     "file looks like text, not a count-matrix file (tornavel-convert makes one "
                     "from a CSV or TSV table)");
  }
  throw file_error(name, fault);
}

// Reads the two header words, refusing a shape no count matrix has.
void read_shape(const std::string& name, std::span<const unsigned char> header,
                std::int32_t& columns, std::int32_t& rows) {
  columns = decode_fixed32(header.data());
  rows = decode_fixed32(header.data() + 4);
  if (const std::string fault = shape_fault(columns, rows); !fault.empty()) {
    refuse_header(name, header, fault);
  }
}

void check_counts(const std::string& name, std::int32_t columns, std::size_t first_row,
                  std::span<const std::int32_t> counts) {
  if (const std::string fault = count_fault(columns, first_row, counts); !fault.empty()) {
    throw file_error(name, fault);
  }
}

std::uint64_t words_of(std::int32_t columns, std::int32_t rows) {
  // Both factors are below 2^31, so the product fits in 64 unsigned bits.
  return static_cast<std::uint64_t>(columns) * static_cast<std::uint64_t>(rows);
}

// Reads exactly size bytes at offset; running out of file means the file is short.
void read_at(file_stream& stream, void* data, std::size_t size, std::int64_t offset) {
  auto* at = static_cast<unsigned char*>(data);
  while (size > 0) {
    const ssize_t got = pread(fileno(stream.get()), at, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw file_error::from_errno(stream.name(), errno);
    if (got == 0) throw file_error(stream.name(), short_file);
    at += got;
    size -= static_cast<std::size_t>(got);
    offset += got;
  }
}

bool same_file_state(const struct stat& a, const struct stat& b) {
  // The change time too: a writer can set the modification time back, but not that.
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

count_matrix load_count_matrix(file_stream& stream) {
  std::array<unsigned char, header_bytes> header;
  if (const std::size_t got = read_up_to(stream, header.data(), header.size()); got < header.size()) {
    throw file_error(stream.name(), "file is too short to hold a header (" + std::to_string(got) +
                                        " bytes)");
  }
  count_matrix matrix;
  read_shape(stream.name(), header, matrix.columns, matrix.rows);
  const std::uint64_t words = words_of(matrix.columns, matrix.rows);

  // Piece by piece, the buffer growing only as counts arrive.
  constexpr std::size_t piece_words = std::size_t{2} << 20;
  for (std::size_t at = 0; at < words; at += piece_words) {
    const std::size_t size = std::min<std::size_t>(piece_words, words - at);
    if (at + size > matrix.counts.capacity()) {
      matrix.counts.reserve(std::max(at + size, 2 * matrix.counts.capacity()));
    }
    matrix.counts.resize(at + size);
    const std::span<std::int32_t> piece = std::span(matrix.counts).subspan(at, size);
    read_exact(stream, piece.data(), piece.size_bytes(), short_file);
    swap_to_file_order(piece);
  }
  check_counts(stream.name(), matrix.columns, 0, matrix.counts);
  matrix.largest_count = largest_of(matrix.counts);
  return matrix;
}

count_matrix_input count_matrix_input::open(const std::string& path) {
  count_matrix_input input(file_stream::open(path, "rb"));
  file_stream& stream = input.stream_;
  if (fstat(fileno(stream.get()), &input.opened_) != 0) {
    throw file_error::from_errno(path, errno);
  }
  // Only a regular file's length can be trusted to say what it holds; an empty or short one is
  // read as a stream too, which reports how short it is.
  if (!S_ISREG(input.opened_.st_mode) || input.opened_.st_size < header_bytes) {
    input.whole_ = load_count_matrix(stream);
    input.columns_ = input.whole_->columns;
    input.rows_ = input.whole_->rows;
    return input;
  }
  std::array<unsigned char, header_bytes> header;
  read_at(stream, header.data(), header.size(), 0);
  read_shape(path, header, input.columns_, input.rows_);
  // The header is untrusted: checked against the length before it sizes anything.
  const auto room = static_cast<std::uint64_t>(input.opened_.st_size - header_bytes) / 4;
  const std::uint64_t words = words_of(input.columns_, input.rows_);
  if (room < words) refuse_header(path, header, short_file);
  input.first_reads_.assign(input.stored_rows(), 0);  // bounded by the length, now checked
  return input;
}

std::int64_t count_row_offset(std::int32_t columns, std::size_t row) {
  return header_bytes + 4 * static_cast<std::int64_t>(row) * columns;
}

std::int64_t count_matrix_input::offset_of(std::size_t row) const {
  return count_row_offset(columns_, row);
}

std::span<const std::int32_t> count_matrix_input::read_rows(std::size_t first, std::size_t count,
                                                            std::span<std::int32_t> scratch) {
  const std::size_t words = count * static_cast<std::size_t>(columns_);
  if (whole_) return std::span<const std::int32_t>(whole_->counts).subspan(first * columns_, words);
  // Copied out of the file before they are checked: another process may rewrite the file while
  // it is read, so counts checked where the file lies (in a mapping, say) could differ when they
  // are used. The copy is both what was checked and what the caller uses.
  const std::span<std::int32_t> rows = scratch.first(words);
  read_at(stream_, rows.data(), rows.size_bytes(), offset_of(first));
  swap_to_file_order(rows);
  check_counts(name(), columns_, first, rows);
  note_first_reads(first, rows);
  return rows;
}

namespace {

// A digest of a row's counts: each lane of eight adds its words times an odd constant (so that
// changing any one word changes the digest), in a loop that becomes vector instructions; then
// the lanes are mixed. Never 0, which marks a row not read yet.
std::uint64_t digest_of(std::span<const std::int32_t> row) {
  constexpr std::uint32_t odd[8] = {0x9e3779b1u, 0x85ebca77u, 0xc2b2ae3du, 0x27d4eb2fu,
                                    0x165667b1u, 0xd3a2646du, 0xfd7046c5u, 0xb55a4f09u};
  std::uint64_t lanes[8] = {};
  std::size_t i = 0;
  for (; i + 8 <= row.size(); i += 8) {
    for (std::size_t j = 0; j < 8; ++j) lanes[j] += std::uint64_t{static_cast<std::uint32_t>(row[i + j])} * odd[j];
  }
  for (; i < row.size(); ++i) lanes[i % 8] += std::uint64_t{static_cast<std::uint32_t>(row[i])} * odd[i % 8];
  std::uint64_t h = 0;
  for (const std::uint64_t lane : lanes) {
    h = (h ^ lane) * 0xbf58476d1ce4e5b9u;
    h ^= h >> 31;
  }
  return h | 1;
}

}  // namespace

void count_matrix_input::note_first_reads(std::size_t first, std::span<const std::int32_t> rows) {
  const auto columns = static_cast<std::size_t>(columns_);
  for (std::size_t r = 0; r * columns < rows.size(); ++r) {
    std::uint64_t& digest = first_reads_[first + r];
    if (digest == 0) digest = digest_of(rows.subspan(r * columns, columns));
  }
}

bool count_matrix_input::reads_as_first_read() {
  const auto columns = static_cast<std::size_t>(columns_);
  const std::size_t block_rows = std::max<std::size_t>(1, (std::size_t{1} << 18) / std::max<std::size_t>(columns, 1));
  std::vector<std::int32_t> block(block_rows * columns);
  for (std::size_t first = 0; first < stored_rows(); first += block_rows) {
    const std::size_t count = std::min(block_rows, stored_rows() - first);
    const std::span<std::int32_t> rows = std::span(block).first(count * columns);
    read_at(stream_, rows.data(), rows.size_bytes(), offset_of(first));
    swap_to_file_order(rows);
    for (std::size_t r = 0; r < count; ++r) {
      const std::uint64_t digest = first_reads_[first + r];
      if (digest != 0 && digest != digest_of(rows.subspan(r * columns, columns))) return false;
    }
  }
  return true;
}

// Advice only: a kernel that ignores it reads the same bytes.
void count_matrix_input::expect_rows_in_order() {
  if (!whole_) posix_fadvise(fileno(stream_.get()), 0, 0, POSIX_FADV_SEQUENTIAL);
}

void count_matrix_input::expect_rows_out_of_order() {
  if (whole_) return;
  posix_fadvise(fileno(stream_.get()), 0, 0, POSIX_FADV_NORMAL);
  // Advice on every row costs a system call a row, for nothing when the file is in the page
  // cache already, as it usually is right after the first pass: sample where it stands, through
  // a mapping that is only asked which pages are resident.
  const auto bytes = static_cast<std::size_t>(offset_of(stored_rows()));
  void* at = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fileno(stream_.get()), 0);
  if (at == MAP_FAILED) return;
  constexpr std::size_t samples = 64;
  const std::size_t pages = bytes / 4096;
  bool all_resident = true;
  for (std::size_t i = 0; i < samples && all_resident && pages > 0; ++i) {
    unsigned char resident = 0;
    all_resident = mincore(static_cast<unsigned char*>(at) + pages * i / samples * 4096, 1,
                           &resident) == 0 && (resident & 1) != 0;
  }
  munmap(at, bytes);
  advise_rows_ = !all_resident;
}

void count_matrix_input::will_need(std::size_t row) {
  if (!whole_ && advise_rows_) {
    posix_fadvise(fileno(stream_.get()), offset_of(row), 4 * static_cast<off_t>(columns_),
                  POSIX_FADV_WILLNEED);
  }
}

void count_matrix_input::check_unchanged() {
  if (whole_) return;
  struct stat now;
  if (fstat(fileno(stream_.get()), &now) != 0) throw file_error::from_errno(name(), errno);
  if (same_file_state(now, opened_)) return;
  // Only the change time moved (a link added or removed, as a publication in this folder makes
  // them, or a change of mode): that says the file may have changed, not that it did. Its rows
  // are read once more and held to what was first read of each.
  const bool same_size_and_time = now.st_size == opened_.st_size && now.st_mtim.tv_sec == opened_.st_mtim.tv_sec &&
                                  now.st_mtim.tv_nsec == opened_.st_mtim.tv_nsec;
  if (same_size_and_time && reads_as_first_read()) {
    struct stat after;
    if (fstat(fileno(stream_.get()), &after) == 0 && after.st_size == now.st_size &&
        after.st_mtim.tv_sec == now.st_mtim.tv_sec && after.st_mtim.tv_nsec == now.st_mtim.tv_nsec) {
      opened_ = after;
      return;
    }
  }
  throw file_error(name(), "file changed while it was read");
}

count_matrix count_matrix_input::take_whole() && {
  if (whole_) return std::move(*whole_);
  count_matrix matrix;
  matrix.columns = columns_;
  matrix.rows = rows_;
  matrix.counts.resize(stored_rows() * static_cast<std::size_t>(columns_));
  read_rows(0, stored_rows(), matrix.counts);  // into the counts: whole_ is empty
  matrix.largest_count = largest_of(matrix.counts);
  return matrix;
}

count_matrix load_count_matrix(const std::string& path) {
  return count_matrix_input::open(path).take_whole();
}

void write_count_matrix_header(file_stream& stream, std::int32_t columns, std::int32_t rows) {
  put_word(columns, stream);
  put_word(rows, stream);
}

void write_count_rows(file_stream& stream, std::span<std::int32_t> counts) {
  swap_to_file_order(counts);
  write_exact(stream, counts.data(), counts.size_bytes());
}

void write_count_rows_at(file_stream& stream, std::span<std::int32_t> counts, std::int64_t offset) {
  swap_to_file_order(counts);
  const auto* at = reinterpret_cast<const unsigned char*>(counts.data());
  std::size_t size = counts.size_bytes();
  while (size > 0) {
    const ssize_t put = pwrite(fileno(stream.get()), at, size, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) throw file_error::from_errno(stream.name(), put < 0 ? errno : EIO);
    at += put;
    size -= static_cast<std::size_t>(put);
    offset += put;
  }
}

staged_file save_count_matrix(const std::string& path, std::int32_t columns, std::int32_t rows,
                              std::span<const std::int32_t> counts) {
  staged_file file(path);
  write_count_matrix_header(file.stream(), columns, rows);
  write_words(file.stream(), counts);
  file.finish();
  return file;
}

}  // namespace tornavel
