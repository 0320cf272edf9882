// Checked access to the standard library's file streams.
//
// Every operation here either does all it was asked to or throws file_error naming the file and
// the system's reason; none returns a status to be forgotten.
#ifndef TORNAVEL_FILES_FILE_STREAM_H_
#define TORNAVEL_FILES_FILE_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <utility>

namespace tornavel {

// Owns one open FILE* and the name to report it by. The destructor closes the stream without
// looking at the result, for the paths that are already failing; close() is the checked way.
class file_stream {
 public:
  // Takes ownership of an open stream.
  file_stream(std::FILE* stream, std::string name) noexcept;
  // Opens path with an fopen mode ("rb", "wb").
  static file_stream open(const std::string& path, const char* mode);

  file_stream(file_stream&& other) noexcept;
  file_stream& operator=(file_stream&&) = delete;
  ~file_stream();

  std::FILE* get() const noexcept { return stream_; }
  const std::string& name() const noexcept { return name_; }

  // Writes out what the stream holds in its buffer.
  void flush();

  // Gives up the stream without closing it, for a stream this does not own (stdin, stdout).
  std::FILE* release() noexcept { return std::exchange(stream_, nullptr); }

  // Flushes and closes the stream; a failure of either, including one of an earlier buffered
  // write, throws.
  void close();

 private:
  std::FILE* stream_;
  std::string name_;
};

// Returns the length in bytes of a seekable stream and leaves it positioned at its start.
std::int64_t stream_length(file_stream& stream);

// Reads up to size bytes and returns how many it read: fewer only at the end of the file.
std::size_t read_up_to(file_stream& stream, void* data, std::size_t size);

// Reads exactly size bytes. Running out of file throws with the reason `short_reason`.
void read_exact(file_stream& stream, void* data, std::size_t size, const char* short_reason);

// Writes exactly size bytes.
void write_exact(file_stream& stream, const void* data, std::size_t size);

// Writes words in the little-endian file layout.
void write_words(file_stream& stream, std::span<const std::int32_t> words);

// Flushes an open file or folder to the disk (fsync): 0, or -1 with errno set. A build for the
// benchmark may leave it out, to show what it costs.
int flush_to_disk(int fd);

}  // namespace tornavel

#endif  // TORNAVEL_FILES_FILE_STREAM_H_
