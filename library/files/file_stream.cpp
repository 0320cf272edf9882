#include "files/file_stream.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

#include "system/coding.h"
#include "files/file_error.h"

namespace tornavel {

file_stream::file_stream(std::FILE* stream, std::string name) noexcept
    : stream_(stream), name_(std::move(name)) {}

file_stream file_stream::open(const std::string& path, const char* mode) {
  errno = 0;
  std::FILE* stream = std::fopen(path.c_str(), mode);
  if (stream == nullptr) throw file_error::from_errno(path, errno);
  return file_stream(stream, path);
}

file_stream::file_stream(file_stream&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)), name_(std::move(other.name_)) {}

file_stream::~file_stream() {
  if (stream_ != nullptr) std::fclose(stream_);
}

void file_stream::flush() {
  errno = 0;
  if (std::fflush(stream_) != 0) throw file_error::from_errno(name_, errno);
}

void file_stream::close() {
  std::FILE* stream = std::exchange(stream_, nullptr);
  errno = 0;
  const bool failed_earlier = std::ferror(stream) != 0;
  // fclose releases the stream even when it fails, so it is called exactly once either way.
  if (std::fclose(stream) != 0 || failed_earlier) throw file_error::from_errno(name_, errno);
}

std::int64_t stream_length(file_stream& stream) {
  // fseeko/ftello take a 64-bit off_t, so files of 2 GiB and more measure correctly.
  static_assert(sizeof(off_t) >= 8, "file offsets must be 64-bit");
  errno = 0;
  if (fseeko(stream.get(), 0, SEEK_END) != 0) throw file_error::from_errno(stream.name(), errno);
  const off_t length = ftello(stream.get());
  if (length < 0) throw file_error::from_errno(stream.name(), errno);
  if (fseeko(stream.get(), 0, SEEK_SET) != 0) throw file_error::from_errno(stream.name(), errno);
  return length;
}

std::size_t read_up_to(file_stream& stream, void* data, std::size_t size) {
  if (size == 0) return 0;
  errno = 0;
  const std::size_t got = std::fread(data, 1, size, stream.get());
  if (got < size && std::ferror(stream.get())) throw file_error::from_errno(stream.name(), errno);
  return got;
}

void read_exact(file_stream& stream, void* data, std::size_t size, const char* short_reason) {
  if (read_up_to(stream, data, size) != size) throw file_error(stream.name(), short_reason);
}

void write_exact(file_stream& stream, const void* data, std::size_t size) {
  if (size == 0) return;
  errno = 0;
  if (std::fwrite(data, 1, size, stream.get()) != size) {
    throw file_error::from_errno(stream.name(), errno);
  }
}

void write_words(file_stream& stream, std::span<const std::int32_t> words) {
  if constexpr (host_is_little_endian) {
    write_exact(stream, words.data(), words.size_bytes());
  } else {
    std::array<std::int32_t, 4096> chunk;
    while (!words.empty()) {
      const std::size_t n = std::min(words.size(), chunk.size());
      std::copy_n(words.begin(), n, chunk.begin());
      swap_to_file_order(std::span(chunk.data(), n));
      write_exact(stream, chunk.data(), n * sizeof(std::int32_t));
      words = words.subspan(n);
    }
  }
}

int flush_to_disk(int fd) {
#ifdef TORNAVEL_NO_FSYNC
  (void)fd;
  return 0;
#else
  return fsync(fd);
#endif
}

}  // namespace tornavel
