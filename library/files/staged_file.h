// Output files that appear under their names only when complete, and only together.
//
// A staged_file is written under a temporary name in the folder of its final name. Only
// publish_together() (publication.h) moves it into place, with rename(), which replaces an
// existing file in one step: a reader sees either the old file or the whole new one, never a
// half-written file. A staged file that is destroyed unpublished is removed, and so is every
// temporary when a signal ends the program, so a failed run leaves no stray file.
#ifndef TORNAVEL_FILES_STAGED_FILE_H_
#define TORNAVEL_FILES_STAGED_FILE_H_

#include <optional>
#include <string>

#include "files/file_stream.h"

namespace tornavel {

class staged_file {
 public:
  // Creates an empty temporary file beside path, with the permissions of the file it is to
  // replace, or else those a new file gets (0666 less the umask). Failures are reported under
  // path, the name the user knows.
  explicit staged_file(std::string path);
  staged_file(staged_file&& other) noexcept;
  staged_file& operator=(staged_file&&) = delete;
  ~staged_file();

  const std::string& path() const noexcept { return path_; }
  const std::string& temporary_path() const noexcept { return temporary_path_; }

  // The stream to write the contents to; valid until finish().
  file_stream& stream() { return *stream_; }

  // Flushes the temporary file to the disk and closes it, checking that every byte got there.
  void finish();

 // The temporary's name, which is no longer removed when this is destroyed or a signal ends
  // the program: the caller takes it over. Precondition: finish() was called.
  std::string hand_over_temporary();

 private:
  std::string path_;
  std::string temporary_path_;  // empty once handed over or moved from
  std::optional<file_stream> stream_;
  int registry_slot_ = -1;  // where remove_staged_files_now() finds temporary_path_
};

// Removes the temporary files of every staged file that exists now. Safe to call from a signal
// handler: it takes no lock and allocates nothing.
void remove_staged_files_now() noexcept;

}  // namespace tornavel

#endif  // TORNAVEL_FILES_STAGED_FILE_H_
