// Where an output named on a command line goes, and the output opened there: one rule for every
// program.
#ifndef TORNAVEL_JOB_OUTPUT_PLACE_H_
#define TORNAVEL_JOB_OUTPUT_PLACE_H_

#include <optional>
#include <string>

#include "files/file_stream.h"
#include "files/staged_file.h"

namespace tornavel {

enum class output_place {
  standard_output,  // "-"
  through,          // a device, FIFO or terminal: written as it stands, never replaced
  staged,           // a file staged beside the name and renamed over it when complete
};

// "-" is standard output. A device, FIFO or terminal, named or reached through a symbolic link,
// is written through: the kernel opens it, following the link with the protections it gives
// links in shared folders. Anything else (a regular file, a name not yet taken, a symbolic link
// to a file or to nothing) is staged and replaces the name itself: a link is replaced, as the
// tool replaces its outputs, and what it pointed to is left as it was. A folder throws
// file_error (EISDIR).
output_place where_output_goes(const std::string& path);

// An output opened where where_output_goes says. Throws file_error.
class output_target {
 public:
  explicit output_target(const std::string& path);
  ~output_target();
  output_target(const output_target&) = delete;
  output_target& operator=(const output_target&) = delete;

  file_stream& stream() { return staged_ ? staged_->stream() : *stream_; }
  // Whether it is a regular file written from its start, in which rows of zeros may be left as
  // a hole.
  bool seekable() const { return staged_.has_value(); }
  // The staged file, for publishing it (nullptr for standard output or a device).
  staged_file* staged() { return staged_ ? &*staged_ : nullptr; }
  // The folder a staged file is published in ("" otherwise).
  std::string folder() const;
  // Everything written reaches the file or the device: a staged file is flushed to the disk.
  void finish();

 private:
  std::optional<file_stream> stream_;
  std::optional<staged_file> staged_;
  bool standard_ = false;
};

}  // namespace tornavel

#endif  // TORNAVEL_JOB_OUTPUT_PLACE_H_
