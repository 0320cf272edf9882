// The one exception type of the file layer.
#ifndef TORNAVEL_FILES_FILE_ERROR_H_
#define TORNAVEL_FILES_FILE_ERROR_H_

#include <stdexcept>
#include <string>
#include <string_view>

namespace tornavel {

// A failure tied to one file: what() reads "NAME: REASON", ready to be printed after the
// program's name on one line.
class file_error : public std::runtime_error {
 public:
  file_error(const std::string& path, const std::string& reason);
  // A system call's failure, with the errno it set, explained in the reason's own words.
  file_error(const std::string& path, const std::string& reason, int error_number)
      : file_error(path, reason) {
    error_number_ = error_number;
  }

  // The failure of a system call: the reason is the text of the given errno value.
  static file_error from_errno(const std::string& path, int error_number);

  const std::string& path() const noexcept { return path_; }
  const std::string& reason() const noexcept { return reason_; }
  // The errno of a failed system call, or 0 for a failure of the file's contents.
  int error_number() const noexcept { return error_number_; }

 private:
  std::string path_;
  std::string reason_;
  int error_number_ = 0;
};

// The name (or any text from a file) as it may be shown on a terminal: unchanged, unless it
// holds a control character (C0 or C1: a newline would split a message in two, an escape
// sequence would act on the terminal), a bidirectional mark or override (which can make text
// read backwards), or bytes that are not UTF-8; then it is quoted, with such characters, quotes
// and backslashes written as C escapes: 'a\nb', '\x9b', '\u{202e}'.
std::string printable_name(const std::string& name);

// The text with each byte that is not part of well-formed UTF-8 replaced by U+FFFD, the
// replacement character, for places that take UTF-8 alone (an SVG picture).
std::string as_utf8(std::string_view text);

}  // namespace tornavel

#endif  // TORNAVEL_FILES_FILE_ERROR_H_
