// Output files that appear under their names only when complete.
//
// A staged_file is written under a temporary name in the folder of its final name. Only
// publish() moves it into place, with rename(), which replaces an existing file in one step:
// a reader sees either the old file or the whole new one, never a half-written file. A staged
// file that is destroyed unpublished is removed, so a failed run leaves no stray file.
#ifndef TORNAVEL_MATRIX_FILES_STAGED_FILE_H_
#define TORNAVEL_MATRIX_FILES_STAGED_FILE_H_

#include <initializer_list>
#include <optional>
#include <string>

#include "matrix_files/file_stream.h"

namespace tornavel {

class staged_file {
 public:
  // Creates an empty temporary file beside path. Failures are reported under path, the name
  // the user knows.
  explicit staged_file(std::string path);
  staged_file(staged_file&& other) noexcept;
  staged_file& operator=(staged_file&&) = delete;
  ~staged_file();

  const std::string& path() const noexcept { return path_; }

  // The stream to write the contents to; valid until finish().
  file_stream& stream() { return *stream_; }

  // Closes the temporary file, checking that every byte reached it.
  void finish();

  // Renames the finished temporary file over path.
  void publish();

 private:
  std::string path_;
  std::string temporary_path_;  // empty once published or moved from
  std::optional<file_stream> stream_;
};

// Publishes finished files in the given order. Before the first rename it checks that no final
// name is taken by a directory, the one obstacle that would otherwise stop a later rename after
// an earlier one had already replaced its file.
void publish_in_order(std::initializer_list<staged_file*> files);

}  // namespace tornavel

#endif  // TORNAVEL_MATRIX_FILES_STAGED_FILE_H_
