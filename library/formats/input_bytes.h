// The bytes of an input file, plain or gzip-compressed, and its lines.
#ifndef TORNAVEL_FORMATS_INPUT_BYTES_H_
#define TORNAVEL_FORMATS_INPUT_BYTES_H_

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/count_matrix_builder.h"

namespace tornavel {

// An open input, read from start to end. Gzip data (one member or several, as gzip writes and
// concatenates them) is decompressed as it is read, whatever the name says; anything after the
// last member that is not another is refused, as gzip itself warns of it.
class input_bytes {
 public:
  // Opens path, or standard input for "-". Throws file_error.
  static input_bytes open(const std::string& path);
  input_bytes(input_bytes&& other) noexcept;
  input_bytes& operator=(input_bytes&&) = delete;
  ~input_bytes();

  const std::string& name() const { return name_; }
  // Reads up to size bytes; fewer only at the end. Throws file_error.
  std::size_t read(void* data, std::size_t size);
  // Reads exactly size bytes, or throws file_error with short_reason.
  void read_exact(void* data, std::size_t size, const char* short_reason);
  // The bytes still to come, where that is known (a plain regular file); nullopt otherwise.
  std::optional<std::uint64_t> remaining() const;

  // Makes reread() possible: a pipe's bytes are kept from now on as they are read (a file is
  // read again instead). Call before the first read.
  void keep_for_rereading();
  // Starts again from the first byte. Throws file_error.
  void reread();

  // Throws file_error ("file changed while it was read") if the file's length or modification
  // time moved since it was opened, or only its change time did (a link added or removed) and
  // its bytes, read again, are not those read. A pipe, a device or standard input is taken as
  // it came.
  void check_unchanged();

 private:
  struct state;
  explicit input_bytes(std::unique_ptr<state> s);
  std::size_t read_raw(unsigned char* data, std::size_t size);
  // Whether raw bytes are held, reading more if none are; false at the end of the file.
  bool refill();
  // Reads until the first two bytes are held (or the file ends), which tell gzip from plain.
  void detect_gzip();
  // Begins the next gzip member; false where the input ends instead, after a member. Throws
  // file_error for anything else.
  bool start_member();
  // Decompresses up to size bytes into out from the raw bytes held; returns how many.
  std::size_t inflate_into(unsigned char* out, std::size_t size);

  std::unique_ptr<state> s_;
  std::string name_;
};

// Lines of a text input, ended by LF, CRLF or CR alone (as Python's csv module and old Macs
// have them), counted for messages. A UTF-8 byte-order mark before the first line is dropped.
class text_lines {
 public:
  explicit text_lines(input_bytes& in) : in_(in) {}

  // The next line without its end, valid until the next call; false at the end of the input.
  bool next(std::string_view& line);
  std::uint64_t number() const { return number_; }
  // The longest line allowed from now on: a longer one is refused rather than held.
  void limit_length(std::size_t most) { most_ = most; }
  [[noreturn]] void fail(const std::string& reason, std::uint64_t cell = 0) const;
  const std::string& name() const { return in_.name(); }

 private:
  bool fill();
  [[noreturn]] void too_long() const;

  input_bytes& in_;
  std::vector<char> buffer_ = std::vector<char>(std::size_t{1} << 16);  // grows to the longest line
  std::size_t start_ = 0, end_ = 0;
  std::uint64_t number_ = 0;
  std::size_t most_ = std::size_t{64} << 20;
  bool eof_ = false;
};

// Splits a line at blanks (spaces and tabs) into its words, reusing the vector's room.
void split_words(std::string_view line, std::vector<std::string_view>& words);

}  // namespace tornavel

#endif  // TORNAVEL_FORMATS_INPUT_BYTES_H_
