// Writers of the two binary formats, .frq and .npy: a header, then the rows as little-endian
// 32-bit words. In a regular file the rows of zeros are left as a hole, so a declared square
// of 42000 items with one count takes one row's writing, not 7 GB of it.
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "formats/formats.h"
#include "matrix_files/count_matrix_file.h"
#include "files/file_error.h"
#include "model/file_size.h"
#include "model/frq_header.h"

namespace tornavel {
namespace {

class word_rows_writer : public row_sink {
 public:
  word_rows_writer(file_stream& out, bool seekable) : out_(out), seekable_(seekable) {}

  void begin(std::size_t side, const std::vector<std::string>&) override {
    side_ = side;
    const std::string head = header(side);
    data_start_ = static_cast<std::int64_t>(head.size());
    const std::optional<std::int64_t> bytes = dense_file_bytes(data_start_, static_cast<std::int64_t>(side));
    if (!bytes) throw file_error(out_.name(), too_large_for_a_file(static_cast<std::int64_t>(side)));
    size_ = *bytes;
    write_exact(out_, head.data(), head.size());
    if (!seekable_) return;
    out_.flush();
    // The whole size at once, as a hole: a file system (or a file-size limit) that cannot take
    // it says so now, before any row is read.
    if (ftruncate(fileno(out_.get()), size_) != 0) throw file_error::from_errno(out_.name(), errno);
  }

  void row(std::size_t index, std::span<const std::int32_t> counts) override {
    scratch_.assign(counts.begin(), counts.end());
    if (seekable_) {
      // Within size_, checked at begin().
      write_count_rows_at(out_, scratch_, data_start_ + 4 * static_cast<std::int64_t>(index) * static_cast<std::int64_t>(side_));
      return;
    }
    zeros_until(index);
    write_count_rows(out_, scratch_);
    ++next_;
  }

  void end(const std::vector<std::string>&) override {
    if (!seekable_) {
      zeros_until(side_);
      return;
    }
    // The rows never written read as zeros: the file has its whole size from the start.
  }

 protected:
  virtual std::string header(std::size_t side) const = 0;

 private:
  void zeros_until(std::size_t index) {
    if (next_ >= index) return;
    std::vector<std::int32_t> zeros(side_, 0);
    for (; next_ < index; ++next_) write_count_rows(out_, zeros);
  }

  file_stream& out_;
  bool seekable_;
  std::size_t side_ = 0, next_ = 0;
  std::int64_t data_start_ = 0;
  std::int64_t size_ = 0;
  std::vector<std::int32_t> scratch_;
};

class frq_rows final : public word_rows_writer {
 public:
  using word_rows_writer::word_rows_writer;

 private:
  std::string header(std::size_t side) const override {
    const auto bytes = encode_frq_header({static_cast<std::int32_t>(side), static_cast<std::int32_t>(side)});
    return std::string(bytes.begin(), bytes.end());
  }
};

class npy_rows final : public word_rows_writer {
 public:
  using word_rows_writer::word_rows_writer;

 private:
  std::string header(std::size_t side) const override {
    std::string dict = "{'descr': '<i4', 'fortran_order': False, 'shape': (" +
                       std::to_string(side) + ", " + std::to_string(side) + "), }";
    // Magic, version and length take 10 bytes; the data starts on a 64-byte boundary.
    dict.append(63 - (10 + dict.size()) % 64, ' ');
    dict += '\n';
    std::string out = "\x93NUMPY";
    out += '\x01';
    out += '\x00';
    out += static_cast<char>(dict.size() & 0xff);
    out += static_cast<char>(dict.size() >> 8);
    return out + dict;
  }
};

}  // namespace

std::unique_ptr<row_sink> frq_writer(file_stream& out, bool seekable) {
  return std::make_unique<frq_rows>(out, seekable);
}

std::unique_ptr<row_sink> npy_writer(file_stream& out, bool seekable) {
  return std::make_unique<npy_rows>(out, seekable);
}

}  // namespace tornavel
