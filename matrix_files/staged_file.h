// Output files that appear under their names only when complete, and only together.
//
// A staged_file is written under a temporary name in the folder of its final name. Only
// publish_together() moves it into place, with rename(), which replaces an existing file in one
// step: a reader sees either the old file or the whole new one, never a half-written file. A
// staged file that is destroyed unpublished is removed, so a failed run leaves no stray file.
#ifndef TORNAVEL_MATRIX_FILES_STAGED_FILE_H_
#define TORNAVEL_MATRIX_FILES_STAGED_FILE_H_

#include <initializer_list>
#include <optional>
#include <string>

#include "matrix_files/file_stream.h"

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

 private:
  friend void publish_together(std::initializer_list<staged_file*> files,
                               int (*rename_file)(const char*, const char*));

  std::string path_;
  std::string temporary_path_;  // empty once published or moved from
  std::optional<file_stream> stream_;
  int registry_slot_ = -1;  // where remove_staged_files_now() finds temporary_path_
};

// Publishes finished files, which must share one folder, as one: each in turn is renamed over
// its name, and if one of them cannot be, the names already replaced get their old files back
// (or lose the new ones, if they had none) before the failure is thrown, so that the names hold
// either all the old files or all the new ones.
//
// Publishing is serialised between processes by an exclusive lock on the folder, so that of two
// runs writing to one folder at once the one that publishes last wins, whole. The signals that
// end a run (SIGINT, SIGTERM, SIGHUP, SIGPIPE) are held off until the renames are done, and the
// folder is flushed to the disk after them, so that after a crash or a power loss the names
// hold either set. rename_file is the seam through which tests make a rename fail.
void publish_together(std::initializer_list<staged_file*> files,
                      int (*rename_file)(const char*, const char*) = std::rename);

// Removes the temporary files of every staged file that exists now. Safe to call from a signal
// handler: it takes no lock and allocates nothing.
void remove_staged_files_now() noexcept;

}  // namespace tornavel

#endif  // TORNAVEL_MATRIX_FILES_STAGED_FILE_H_
