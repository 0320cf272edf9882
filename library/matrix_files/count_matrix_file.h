// The count-matrix file.
//
// Layout, every word little-endian two's complement:
//   offset 0   columns   the length of one row
//   offset 4   rows      the number of rows
//   offset 8   counts    rows * columns words, row-major: row r, column k at 8 + 4 * (r * columns + k)
// There is no magic number, version or checksum; bytes after the counts are ignored.
#ifndef TORNAVEL_MATRIX_FILES_COUNT_MATRIX_FILE_H_
#define TORNAVEL_MATRIX_FILES_COUNT_MATRIX_FILE_H_

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "matrix_files/count_matrix.h"
#include "files/file_stream.h"
#include "files/staged_file.h"

namespace tornavel {

// A count-matrix file open for reading rows, in any order, as often as wanted.
//
// A regular file is read where it lies, a block of rows at a time by position, so that resident
// memory does not grow with the matrix. It stays open, so the rows read are those of the file
// that was opened even if its name is replaced meanwhile. Anything without a trustworthy length
// (a pipe, a terminal, a device, a /proc file that says it is empty) is read whole into memory
// when it is opened.
class count_matrix_input {
 public:
  // Opens the file at path and checks its header against its length, before anything is
  // allocated for it. Throws file_error.
  static count_matrix_input open(const std::string& path);

  count_matrix_input(count_matrix_input&&) noexcept = default;
  count_matrix_input& operator=(count_matrix_input&&) = delete;

  std::int32_t columns() const { return columns_; }
  std::int32_t rows() const { return rows_; }
  // The rows that hold counts: none when there are no columns.
  std::size_t stored_rows() const { return columns_ == 0 ? 0 : static_cast<std::size_t>(rows_); }
  const std::string& name() const { return stream_.name(); }

  // Rows first .. first + count - 1, row-major, valid until the next call: where they lie in
  // memory (an input read whole), or else read into scratch, which must hold count * columns()
  // words. Either way they are checked where they are returned, so a writer changing the file
  // meanwhile cannot make them differ from what was checked. Throws
  // file_error if the file cannot be read, has become shorter than its header says, or holds a
  // negative count.
  std::span<const std::int32_t> read_rows(std::size_t first, std::size_t count,
                                          std::span<std::int32_t> scratch);

  // What comes next, for the reads and the kernel's read-ahead to match: the rows will be read
  // in order (the default), or out of order, with row among the next.
  void expect_rows_in_order();
  void expect_rows_out_of_order();
  void will_need(std::size_t row);

  // Throws file_error if the file's length or modification time is not what it was when it was
  // opened: rows read before and after might belong to different contents. If only its change
  // time moved (a link added or removed, as a publication beside it makes them, or a change of
  // mode), every row is read again and held to a digest of what was first read of it, and the
  // file is refused only if one differs. (A writer through a shared mapping may change the
  // contents without touching either time until the kernel writes its pages back; such a change
  // cannot be seen, but the counts used are still the checked copies, so it cannot make the
  // program misbehave.)
  void check_unchanged();

  // Whether the input was read whole when it was opened (a pipe): two threads may then read its
  // rows at once.
  bool read_whole() const { return whole_.has_value(); }

 private:
  explicit count_matrix_input(file_stream stream) : stream_(std::move(stream)) {}
  std::int64_t offset_of(std::size_t row) const;
  // Keeps a digest of each row the first time it is read.
  void note_first_reads(std::size_t first, std::span<const std::int32_t> rows);
  // Whether every row now reads as it first did.
  bool reads_as_first_read();

  file_stream stream_;
  bool advise_rows_ = true;  // whether will_need() passes its advice on
  std::int32_t columns_ = 0;
  std::int32_t rows_ = 0;
  std::optional<count_matrix> whole_;  // input without a length, read when opened
  struct stat opened_ {};
  std::vector<std::uint64_t> first_reads_;  // a digest of each row as first read, 0 if not read yet
};

// Reads and checks the whole count-matrix file at path, in memory. Throws file_error.
count_matrix load_count_matrix(const std::string& path);

// The same from an open stream, read from where it stands to its end as a pipe is: the buffer
// grows only with what arrives, so a header that lies cannot force a large allocation.
count_matrix load_count_matrix(file_stream& stream);

// Writes the header.
void write_count_matrix_header(file_stream& stream, std::int32_t columns, std::int32_t rows);

// Writes whole rows of counts, converting them to the file's byte order in place.
void write_count_rows(file_stream& stream, std::span<std::int32_t> counts);

// Writes whole rows of counts at offset in the file behind stream, converting them to the file's
// byte order in place: for writers that fill a file out of order, from several threads at once,
// each at its own offsets. Flush the stream first.
void write_count_rows_at(file_stream& stream, std::span<std::int32_t> counts, std::int64_t offset);

// Where row `row` of a count-matrix file with the given number of columns starts.
std::int64_t count_row_offset(std::int32_t columns, std::size_t row);


}  // namespace tornavel

#endif  // TORNAVEL_MATRIX_FILES_COUNT_MATRIX_FILE_H_
