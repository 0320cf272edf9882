#include "formats/input_bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <utility>

#include "files/file_error.h"

namespace tornavel {

namespace {

constexpr std::size_t raw_piece = std::size_t{1} << 17;

// A digest of bytes as they come, in any pieces: for telling, when only a file's change time
// moved, whether its bytes are still those read.
struct running_digest {
  std::uint64_t value = 0xcbf29ce484222325u;
  void add(const unsigned char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) value = (value ^ data[i]) * 0x100000001b3u;
  }
};

bool is_gzip(const unsigned char* data, std::size_t size) { return size >= 2 && data[0] == 0x1f && data[1] == 0x8b; }

}  // namespace

struct input_bytes::state {
  int fd = -1;
  bool regular = false;
  struct stat opened {};
  std::uint64_t length = 0;         // of a regular file
  std::uint64_t raw_consumed = 0;   // raw bytes read so far
  running_digest digest;            // of the raw bytes read
  // Of the first reading, where the file was read whole before reread(): the second must match.
  std::optional<std::uint64_t> first_reading;
  bool compressed = false;
  bool stream_ended = false;        // a gzip member ended and no other has begun
  bool eof = false;
  z_stream z{};
  bool z_ready = false;
  std::vector<unsigned char> raw = std::vector<unsigned char>(raw_piece);
  std::size_t raw_start = 0, raw_end = 0;  // raw bytes read and not yet used
  bool keeping = false;             // a pipe's raw bytes go to kept as they are read
  std::vector<unsigned char> kept;
  std::size_t replayed = 0;         // of kept, once reread
  bool replaying = false;

  ~state() {
    if (z_ready) inflateEnd(&z);
    if (fd >= 0) ::close(fd);
  }
};

input_bytes::input_bytes(std::unique_ptr<state> s) : s_(std::move(s)) {}

input_bytes input_bytes::open(const std::string& path) {
  const bool standard = path == "-";
  const std::string name = standard ? "standard input" : path;
  auto s = std::make_unique<state>();
  s->fd = standard ? dup(STDIN_FILENO) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (s->fd < 0) throw file_error::from_errno(name, errno);
  if (fstat(s->fd, &s->opened) != 0) throw file_error::from_errno(name, errno);
  if (S_ISDIR(s->opened.st_mode)) throw file_error::from_errno(name, EISDIR);
  s->regular = S_ISREG(s->opened.st_mode) && !standard;
  if (S_ISREG(s->opened.st_mode) && s->opened.st_size > 0) s->length = static_cast<std::uint64_t>(s->opened.st_size);
  input_bytes in(std::move(s));
  in.name_ = name;
  return in;
}

input_bytes::input_bytes(input_bytes&& other) noexcept : s_(std::move(other.s_)), name_(std::move(other.name_)) {}

input_bytes::~input_bytes() = default;

// Reads raw bytes from the file into what is held, unless held; returns false at its end.
std::size_t input_bytes::read_raw(unsigned char* data, std::size_t size) {
  state& s = *s_;
  if (s.replaying && s.replayed < s.kept.size()) {
    const std::size_t n = std::min(size, s.kept.size() - s.replayed);
    std::memcpy(data, s.kept.data() + s.replayed, n);
    s.replayed += n;
    s.raw_consumed += n;
    return n;
  }
  for (;;) {
    const ssize_t got = ::read(s_->fd, data, size);
    if (got >= 0) {
      s_->digest.add(data, static_cast<std::size_t>(got));
      s_->raw_consumed += static_cast<std::uint64_t>(got);
      if (s.keeping && !s.replaying) s.kept.insert(s.kept.end(), data, data + got);
      return static_cast<std::size_t>(got);
    }
    if (errno != EINTR) throw file_error::from_errno(name_, errno);
  }
}

bool input_bytes::refill() {
  state& s = *s_;
  if (s.raw_start < s.raw_end) return true;
  s.raw_start = 0;
  s.raw_end = read_raw(s.raw.data(), s.raw.size());
  return s.raw_end > 0;
}

void input_bytes::detect_gzip() {
  state& s = *s_;
  while (s.raw_end < 2) {
    const std::size_t more = read_raw(s.raw.data() + s.raw_end, s.raw.size() - s.raw_end);
    if (more == 0) break;
    s.raw_end += more;
  }
  s.compressed = is_gzip(s.raw.data(), s.raw_end);
}

bool input_bytes::start_member() {
  state& s = *s_;
  if (!refill()) {
    if (!s.z_ready) throw file_error(name_, "gzip data ends before its end");
    return false;
  }
  if (s.raw_end - s.raw_start < 2) {  // a member's magic may straddle two reads
    std::memmove(s.raw.data(), s.raw.data() + s.raw_start, s.raw_end - s.raw_start);
    s.raw_end -= s.raw_start;
    s.raw_start = 0;
    s.raw_end += read_raw(s.raw.data() + s.raw_end, s.raw.size() - s.raw_end);
  }
  if (!is_gzip(s.raw.data() + s.raw_start, s.raw_end - s.raw_start)) {
    throw file_error(name_, "bytes that are not gzip follow the end of the gzip data (gzip calls them trailing garbage)");
  }
  if (!s.z_ready) {
    if (inflateInit2(&s.z, 15 + 16) != Z_OK) throw file_error(name_, "not enough memory");
    s.z_ready = true;
  } else {
    inflateReset(&s.z);
  }
  s.stream_ended = false;
  return true;
}

std::size_t input_bytes::inflate_into(unsigned char* out, std::size_t size) {
  state& s = *s_;
  if (!refill()) throw file_error(name_, "gzip data ends before its end");
  s.z.next_in = s.raw.data() + s.raw_start;
  s.z.avail_in = static_cast<uInt>(s.raw_end - s.raw_start);
  s.z.next_out = out;
  s.z.avail_out = static_cast<uInt>(std::min<std::size_t>(size, INT_MAX / 2));
  const uInt before_out = s.z.avail_out;
  const int result = inflate(&s.z, Z_NO_FLUSH);
  s.raw_start = s.raw_end - s.z.avail_in;
  if (result == Z_STREAM_END) {
    s.stream_ended = true;
  } else if (result == Z_NEED_DICT || result == Z_DATA_ERROR || result == Z_STREAM_ERROR) {
    throw file_error(name_, std::string("gzip data is damaged: ") + (s.z.msg != nullptr ? s.z.msg : "bad data"));
  } else if (result == Z_MEM_ERROR) {
    throw file_error(name_, "not enough memory");
  }
  return before_out - s.z.avail_out;
}

std::size_t input_bytes::read(void* data, std::size_t size) {
  state& s = *s_;
  auto* out = static_cast<unsigned char*>(data);
  if (s.raw_consumed == 0 && !s.eof && refill()) detect_gzip();  // the first bytes tell plain from gzip
  std::size_t got = 0;
  while (got < size && !s.eof) {
    if (!s.compressed) {
      if (!refill()) {
        s.eof = true;
        break;
      }
      const std::size_t n = std::min(size - got, s.raw_end - s.raw_start);
      std::memcpy(out + got, s.raw.data() + s.raw_start, n);
      s.raw_start += n;
      got += n;
      continue;
    }
    // Between members: the next begins, or the input ends; anything else is not gzip.
    if ((s.stream_ended || !s.z_ready) && !start_member()) {
      s.eof = true;
      break;
    }
    got += inflate_into(out + got, size - got);
  }
  return got;
}

void input_bytes::read_exact(void* data, std::size_t size, const char* short_reason) {
  if (read(data, size) != size) throw file_error(name_, short_reason);
}

std::optional<std::uint64_t> input_bytes::remaining() const {
  // Only a plain file's length says how much is to come; a compressed one's does not.
  if (s_->length == 0 || s_->compressed) return std::nullopt;
  const std::uint64_t used = s_->raw_consumed - (s_->raw_end - s_->raw_start);
  return s_->length > used ? s_->length - used : 0;
}

void input_bytes::keep_for_rereading() { s_->keeping = !s_->regular; }

void input_bytes::reread() {
  state& s = *s_;
  if (s.regular) {
    if (lseek(s.fd, 0, SEEK_SET) != 0) throw file_error::from_errno(name_, errno);
    if (s.raw_consumed == s.length) s.first_reading = s.digest.value;
    s.digest = running_digest{};
  } else {
    s.replaying = true;
    s.replayed = 0;
  }
  s.raw_consumed = 0;
  s.raw_start = s.raw_end = 0;
  s.compressed = s.stream_ended = s.eof = false;
  if (s.z_ready) inflateEnd(&s.z);
  s.z = z_stream{};
  s.z_ready = false;
}

void input_bytes::check_unchanged() {
  state& s = *s_;
  if (!s.regular) return;
  // Two readings of one file that differ: a layout read in the first was applied to the second.
  if (s.first_reading && s.raw_consumed == s.length && *s.first_reading != s.digest.value) {
    throw file_error(name_, "file changed while it was read");
  }
  struct stat now;
  if (fstat(s.fd, &now) != 0) throw file_error::from_errno(name_, errno);
  const bool same_size_and_time = now.st_size == s.opened.st_size && now.st_mtim.tv_sec == s.opened.st_mtim.tv_sec &&
                                  now.st_mtim.tv_nsec == s.opened.st_mtim.tv_nsec;
  const bool same_change = now.st_ctim.tv_sec == s.opened.st_ctim.tv_sec && now.st_ctim.tv_nsec == s.opened.st_ctim.tv_nsec;
  if (same_size_and_time && same_change) return;
  if (same_size_and_time) {
    // Only the change time moved: the bytes read are read again and held to those first read.
    running_digest again;
    std::vector<unsigned char> piece(raw_piece);
    for (std::uint64_t at = 0; at < s.raw_consumed;) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), s.raw_consumed - at));
      const ssize_t got = pread(s.fd, piece.data(), want, static_cast<off_t>(at));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      again.add(piece.data(), static_cast<std::size_t>(got));
      at += static_cast<std::uint64_t>(got);
    }
    if (again.value == s.digest.value) return;
  }
  throw file_error(name_, "file changed while it was read");
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

void split_words(std::string_view line, std::vector<std::string_view>& words) {
  words.clear();
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at == line.size()) break;
    const std::size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
    words.push_back(line.substr(start, at - start));
  }
}

}  // namespace tornavel
