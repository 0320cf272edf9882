#include "formats/input_bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "matrix_files/file_error.h"

namespace tornavel {
namespace {

gzFile as_gz(void* gz) { return static_cast<gzFile>(gz); }

}  // namespace

input_bytes input_bytes::open(const std::string& path) {
  const bool standard = path == "-";
  const std::string name = standard ? "standard input" : path;
  const int fd = standard ? dup(STDIN_FILENO) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw file_error::from_errno(name, errno);
  struct stat status;
  if (fstat(fd, &status) != 0) {
    const int error = errno;
    ::close(fd);
    throw file_error::from_errno(name, error);
  }
  if (S_ISDIR(status.st_mode)) {
    ::close(fd);
    throw file_error::from_errno(name, EISDIR);
  }
  std::optional<std::uint64_t> length;
  if (S_ISREG(status.st_mode) && status.st_size > 0) length = static_cast<std::uint64_t>(status.st_size);
  gzFile gz = gzdopen(fd, "rb");
  if (gz == nullptr) {
    ::close(fd);
    throw file_error(name, "not enough memory");
  }
  gzbuffer(gz, 1 << 17);
  return input_bytes(gz, name, length);
}

input_bytes::input_bytes(input_bytes&& other) noexcept
    : gz_(std::exchange(other.gz_, nullptr)),
      name_(std::move(other.name_)),
      length_(other.length_),
      consumed_(other.consumed_) {}

input_bytes::~input_bytes() {
  if (gz_ != nullptr) gzclose(as_gz(gz_));
}

std::size_t input_bytes::read(void* data, std::size_t size) {
  auto* at = static_cast<char*>(data);
  std::size_t got = 0;
  while (got < size) {
    const unsigned piece = static_cast<unsigned>(std::min<std::size_t>(size - got, INT_MAX / 2));
    const int n = gzread(as_gz(gz_), at + got, piece);
    if (n < 0) {
      int code = 0;
      const char* message = gzerror(as_gz(gz_), &code);
      if (code == Z_ERRNO) throw file_error::from_errno(name_, errno);
      throw file_error(name_, std::string("gzip data is damaged: ") + message);
    }
    if (n == 0) {
      int code = 0;
      gzerror(as_gz(gz_), &code);
      // A gzip stream cut short ends without its trailer.
      if (code == Z_BUF_ERROR) throw file_error(name_, "gzip data ends before its end");
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  consumed_ += got;
  return got;
}

void input_bytes::read_exact(void* data, std::size_t size, const char* short_reason) {
  if (read(data, size) != size) throw file_error(name_, short_reason);
}

std::optional<std::uint64_t> input_bytes::remaining() const {
  // Only a plain file's length says how much is to come; a compressed one's does not.
  if (!length_ || gzdirect(as_gz(gz_)) == 0) return std::nullopt;
  return *length_ > consumed_ ? *length_ - consumed_ : 0;
}

bool text_lines::fill() {
  if (eof_) return false;
  std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
  end_ -= start_;
  start_ = 0;
  if (end_ == buffer_.size()) {
    if (buffer_.size() >= most_) too_long();
    buffer_.resize(std::min(2 * buffer_.size(), most_ + 1));
  }
  const std::size_t got = in_.read(buffer_.data() + end_, buffer_.size() - end_);
  end_ += got;
  eof_ = got == 0;
  return got > 0;
}

bool text_lines::next(std::string_view& line) {
  for (std::size_t scanned = 0;;) {
    const char* begin = buffer_.data() + start_;
    const std::size_t size = end_ - start_;
    // The first LF, then any CR before it: two scans at the speed of memchr.
    const auto* newline = static_cast<const char*>(std::memchr(begin + scanned, '\n', size - scanned));
    std::size_t stop = newline != nullptr ? static_cast<std::size_t>(newline - begin) : size;
    if (const auto* cr = static_cast<const char*>(std::memchr(begin + scanned, '\r', stop - scanned))) {
      stop = static_cast<std::size_t>(cr - begin);
    }
    // A CR at the end of what is read may be followed by an LF still to come.
    const bool ended = stop < size && (begin[stop] == '\n' || stop + 1 < size || eof_);
    if (ended || (eof_ && size > 0)) {
      if (stop > most_) too_long();
      line = std::string_view(begin, stop);
      std::size_t next = stop;
      if (next < size) next += begin[next] == '\r' && next + 1 < size && begin[next + 1] == '\n' ? 2 : 1;
      start_ += next;
      if (number_++ == 0 && line.substr(0, 3) == "\xef\xbb\xbf") line.remove_prefix(3);
      return true;
    }
    if (eof_) return false;
    // What was scanned stays where it is relative to the line's start, which fill() moves.
    scanned = stop;
    fill();
  }
}

void text_lines::too_long() const {
  throw file_error(name(), source_place::at_line(number_ + 1).prefix() + "line longer than " +
                               std::to_string(most_ >> 20) + " MiB");
}

void text_lines::fail(const std::string& reason, std::uint64_t cell) const {
  throw file_error(name(), source_place::at_line(number_, cell).prefix() + reason);
}

}  // namespace tornavel
