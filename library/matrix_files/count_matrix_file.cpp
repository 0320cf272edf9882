#include "matrix_files/count_matrix_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <utility>

#include "files/file_error.h"
#include "system/coding.h"
#include "model/frq_header.h"
#include "model/shape.h"
#include "matrix_files/order_file.h"

namespace tornavel {
namespace {

constexpr char short_file[] = "file is shorter than its header says";

// A refusal of the file at path, which says so where the file is an order file given in its place.
[[noreturn]] void refuse(const std::string& path, const std::string& reason) {
  if (looks_like_order_file(path)) {
    throw file_error(path, "file looks like an order file, not a count-matrix file (tornavel ranks a count-matrix "
                           "file; tornavel-show order shows an order file)");
  }
  throw file_error(path, reason);
}

// Reads the header, refusing a shape no count matrix has (or a file that is something else).
frq_shape read_shape(const std::string& name, std::span<const unsigned char, frq_header_bytes> header) {
  std::string reason;
  const frq_shape shape = decode_frq_header(header, reason);
  if (!reason.empty()) refuse(name, reason);
  return shape;
}

void check_counts(const std::string& name, std::int32_t columns, std::size_t first_row,
                  std::span<const std::int32_t> counts) {
  if (const std::string fault = negative_count_fault(columns, first_row, counts); !fault.empty()) {
    throw file_error(name, fault);
  }
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
  std::array<unsigned char, frq_header_bytes> header;
  if (const std::size_t got = read_up_to(stream, header.data(), header.size()); got < header.size()) {
    refuse(stream.name(), "file is too short to hold a header (" + std::to_string(got) + " bytes)");
  }
  const frq_shape shape = read_shape(stream.name(), header);
  count_matrix matrix{shape.columns, shape.rows, {}};
  const std::uint64_t words = shape.words();
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
  if (!S_ISREG(input.opened_.st_mode) || input.opened_.st_size < static_cast<off_t>(frq_header_bytes)) {
    input.whole_ = load_count_matrix(stream);
    input.columns_ = input.whole_->columns;
    input.rows_ = input.whole_->rows;
    return input;
  }
  std::array<unsigned char, frq_header_bytes> header;
  read_at(stream, header.data(), header.size(), 0);
  const frq_shape shape = read_shape(path, header);
  input.columns_ = shape.columns;
  input.rows_ = shape.rows;
  // The header is untrusted: checked against the length before it sizes anything.
  const auto room = static_cast<std::uint64_t>(input.opened_.st_size - static_cast<off_t>(frq_header_bytes)) / 4;
  if (room < shape.words()) {
    const std::string hint = foreign_file_hint(header);
    refuse(path, hint.empty() ? short_file : hint);
  }
  input.first_reads_.assign(input.stored_rows(), 0);  // bounded by the length, now checked
  return input;
}

std::int64_t count_row_offset(std::int32_t columns, std::size_t row) {
  return static_cast<std::int64_t>(frq_header_bytes) + 4 * static_cast<std::int64_t>(row) * columns;
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

// A digest of a row's counts: each of eight 32-bit lanes adds its words times an odd constant
// (so that changing any one word changes the digest), in a loop that becomes vector
// instructions at the speed of memory; then the lanes are mixed. Never 0, which marks a row not
// read yet.
std::uint64_t digest_of(std::span<const std::int32_t> row) {
  constexpr std::uint32_t odd[8] = {0x9e3779b1u, 0x85ebca77u, 0xc2b2ae3du, 0x27d4eb2fu,
                                    0x165667b1u, 0xd3a2646du, 0xfd7046c5u, 0xb55a4f09u};
  std::uint32_t lanes[8] = {};
  std::size_t i = 0;
  for (; i + 8 <= row.size(); i += 8) {
    for (std::size_t j = 0; j < 8; ++j) lanes[j] += static_cast<std::uint32_t>(row[i + j]) * odd[j];
  }
  for (; i < row.size(); ++i) lanes[i % 8] += static_cast<std::uint32_t>(row[i]) * odd[i % 8];
  std::uint64_t h = row.size();
  for (const std::uint32_t lane : lanes) {
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

count_matrix load_count_matrix(const std::string& path) {
  count_matrix_input input = count_matrix_input::open(path);
  count_matrix matrix{input.columns(), input.rows(), {}};
  matrix.counts.resize(input.stored_rows() * static_cast<std::size_t>(input.columns()));
  const std::span<const std::int32_t> rows = input.read_rows(0, input.stored_rows(), matrix.counts);
  if (rows.data() != matrix.counts.data()) std::copy(rows.begin(), rows.end(), matrix.counts.begin());
  return matrix;
}

void write_count_matrix_header(file_stream& stream, std::int32_t columns, std::int32_t rows) {
  const auto header = encode_frq_header({columns, rows});
  write_exact(stream, header.data(), header.size());
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

}  // namespace tornavel
