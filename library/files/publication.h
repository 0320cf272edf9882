// Publishing staged files as one, in a way that survives a crash at any instant.
//
// The files are renamed over their names one after another, so there is an instant in which
// some names hold new files and others old ones. To keep that instant from lasting, a small
// journal ("tornavel.journal" in the folder) names the finished temporaries before the first
// rename and is removed after the last. A run killed in between leaves it behind, and the next
// program of the project to read or write outputs in that folder finishes the publication
// first (or, if the run was taking it back after a failed rename, takes it back).
//
// Runs that publish in one folder take turns, under an exclusive flock on the folder. A reader
// that opens two outputs without that lock may, in the instant between two renames, see a new
// file beside an old one; one that holds a shared flock on the folder while it opens both, or
// that opens them after the journal is gone, sees a pair.
#ifndef TORNAVEL_FILES_PUBLICATION_H_
#define TORNAVEL_FILES_PUBLICATION_H_

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "files/staged_file.h"

namespace tornavel {

// The journal's name, in the folder it speaks for.
inline constexpr char journal_name[] = "tornavel.journal";

struct publish_options {
  // Called once, if another run has held the folder's lock for a second; the wait goes on.
  std::function<void()> waiting;
  // The seam through which tests make a rename fail.
  int (*rename_file)(const char*, const char*) = std::rename;
  // Called once with what a publication that succeeded still left behind, and why (a second
  // name another user's file in a sticky folder keeps, say): the folder works as before.
  std::function<void(const std::string&)> notice;
};

// Publishes finished files, which must share one folder (else file_error), as one: afterwards
// their names hold all the new files, or, if a rename failed, all the old ones (names that had
// none, none), and no temporary is left. The journal is written first, whole; then every old
// file is given a second name, so that it can be put back; if one cannot be, nothing is
// replaced and the failure is thrown. If putting back fails too, the journal stays, and with it
// the old files' second names, for a later program to finish. Signals that end a run are held
// off meanwhile, and the folder is flushed to the disk, so that after a crash or a power loss,
// or a run killed at any instant, the names hold either set once the journal has been seen to.
// Throws file_error, naming the file that could not be replaced; an output that belongs to
// another user in a sticky folder is refused before anything is written.
void publish_together(std::initializer_list<staged_file*> files,
                      const publish_options& options = {});

// Refuses, with file_error, a folder in which outputs could not be published safely: one that
// cannot be opened (and so neither locked nor flushed) or whose files cannot be replaced
// (append-only or immutable), or an output at path that belongs to another user in a sticky
// folder. Then finishes what an interrupted run left there. For programs to call before they
// work on outputs for the folder holding path. A journal that is not a regular file of this
// user's (a FIFO, a link, a folder) is refused at once, without waiting on it.
void prepare_output_folder(const std::string& path, const publish_options& options = {});

// Finishes, as prepare_output_folder does, a publication interrupted in the folder holding
// path, if there is one; costs one lstat where there is none. For programs to call before they
// read a file that may be an output.
void finish_interrupted_publication(const std::string& path, const publish_options& options = {});
// The same for each of paths, passing over "-" (standard input or output).
void finish_interrupted_publications(const std::vector<std::string>& paths, const publish_options& options = {});

}  // namespace tornavel

#endif  // TORNAVEL_FILES_PUBLICATION_H_
