#include "files/publication.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "files/file_error.h"
#include "files/file_stream.h"
#include "files/held_signals.h"

namespace tornavel {
namespace {

// The journal, in order: this line; the state, 'F' (finishing: rename the temporaries), 'B'
// (going back: restore the old files) or 'D' (done: the pair is whole, and only the second names
// are left to remove), and a newline; for each file its name, its temporary's
// and the old file's second name ("" if it had no old file), each ended by a NUL; then
// "end\n". Names are relative to the folder. A journal without its end was cut short by a crash
// before any rename, so its temporaries are removed.
constexpr char journal_magic[] = "tornavel journal 1\n";
constexpr std::size_t state_offset = sizeof journal_magic - 1;
constexpr char journal_end[] = "end\n";
constexpr std::size_t journal_most_bytes = 64 << 10;

struct journal_entry {
  std::string name;
  std::string temporary;
  std::string kept;  // the old file's second name, or "" if the name held no file
};

struct journal {
  char state = 'F';
  std::vector<journal_entry> entries;
  bool complete = false;
};

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether sibling is name followed by a dot and six letters or digits: what mkstemp and
// second_name make. A journal names nothing else, so even a forged one can only move such
// siblings over the names beside them.
bool is_sibling(const std::string& name, const std::string& sibling) {
  if (sibling.size() != name.size() + 7 || sibling.compare(0, name.size(), name) != 0 ||
      sibling[name.size()] != '.') {
    return false;
  }
  for (std::size_t i = name.size() + 1; i < sibling.size(); ++i) {
    const char c = sibling[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

bool is_plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string encode(const journal& j) {
  std::string out = journal_magic;
  out += j.state;
  out += '\n';
  for (const journal_entry& e : j.entries) {
    for (const std::string* field : {&e.name, &e.temporary, &e.kept}) {
      out += *field;
      out += '\0';
    }
  }
  return out + journal_end;
}

// Reads a journal's text; nullopt if it is not one this program wrote. A text that stops within
// the header is a journal cut short before it said anything, and so before any rename.
std::optional<journal> decode(const std::string& text) {
  const std::string header = std::string(journal_magic) + "F\n";
  if (text.size() < header.size() && header.compare(0, text.size(), text) == 0) return journal{};
  if (text.size() < state_offset + 2 || text.compare(0, state_offset, journal_magic) != 0 ||
      (text[state_offset] != 'F' && text[state_offset] != 'B' && text[state_offset] != 'D') ||
      text[state_offset + 1] != '\n') {
    return std::nullopt;
  }
  journal j;
  j.state = text[state_offset];
  std::size_t at = state_offset + 2;
  const auto field = [&](std::string& out) {
    const std::size_t end = text.find('\0', at);
    if (end == std::string::npos) return false;
    out = text.substr(at, end - at);
    at = end + 1;
    return true;
  };
  for (;;) {
    if (text.compare(at, std::string::npos, journal_end) == 0) {
      j.complete = true;
      return j;
    }
    journal_entry e;
    if (!field(e.name) || !field(e.temporary) || !field(e.kept)) return j;  // cut short
    if (!is_plain_name(e.name) || !is_sibling(e.name, e.temporary) ||
        (!e.kept.empty() && !is_sibling(e.name, e.kept))) {
      return std::nullopt;
    }
    j.entries.push_back(std::move(e));
  }
}

// The folder outputs are published in, open for its lock, its flushes and the calls made
// relative to it.
class output_folder {
 public:
  // Opens the folder; throws if it cannot be, since without it runs could neither take turns
  // nor make their renames durable.
  explicit output_folder(std::string name) : name_(std::move(name)) {
    fd_ = ::open(name_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
      const int error = errno;
      throw file_error(name_, std::string(std::strerror(error)) +
                                  " (outputs are published only in a folder that can be read, "
                                  "so that runs can lock it and flush it to the disk)",
                       error);
    }
  }
  ~output_folder() { ::close(fd_); }  // also releases the lock
  output_folder(const output_folder&) = delete;
  output_folder& operator=(const output_folder&) = delete;

  // Refuses a folder whose files cannot be replaced: any attempt would leave files behind.
  void check_replaceable() const {
    int flags = 0;
    if (ioctl(fd_, FS_IOC_GETFLAGS, &flags) != 0) return;  // a file system without such flags
    if ((flags & FS_APPEND_FL) != 0) throw file_error(name_, "folder is append-only: no file in it can be replaced");
    if ((flags & FS_IMMUTABLE_FL) != 0) throw file_error(name_, "folder is immutable");
  }

  // Takes the exclusive lock, telling waiting() if another run keeps it for a second.
  void lock(const std::function<void()>& waiting) const {
    if (try_lock(LOCK_EX | LOCK_NB)) return;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (try_lock(LOCK_EX | LOCK_NB)) return;
    }
    if (waiting) waiting();
    while (!try_lock(LOCK_EX)) {
    }
  }

  // 0, or the errno of a failed flush. Folders that cannot be flushed (EINVAL) count as done.
  int sync() const { return flush_to_disk(fd_) == 0 || errno == EINVAL ? 0 : errno; }

  bool exists(const std::string& name) const {
    struct stat status;
    return fstatat(fd_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
  }
  bool same_file(const std::string& a, const std::string& b) const {
    struct stat sa, sb;
    return fstatat(fd_, a.c_str(), &sa, AT_SYMLINK_NOFOLLOW) == 0 &&
           fstatat(fd_, b.c_str(), &sb, AT_SYMLINK_NOFOLLOW) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
  }
  // 0, or errno; a name that is already gone counts as removed.
  int remove(const std::string& name) const {
    return unlinkat(fd_, name.c_str(), 0) == 0 || errno == ENOENT ? 0 : errno;
  }
  int rename(const std::string& from, const std::string& to) const {
    return renameat(fd_, from.c_str(), fd_, to.c_str()) == 0 ? 0 : errno;
  }
  int fd() const { return fd_; }
  // The name a user knows a file of this folder by.
  std::string path(const std::string& name) const { return name_ == "." ? name : name_ + "/" + name; }

 private:
  // Whether the lock is ours; a file system without locks (ENOLCK) leaves runs unserialised.
  bool try_lock(int operation) const {
    while (flock(fd_, operation) != 0) {
      if (errno == EWOULDBLOCK) return false;
      if (errno != EINTR) return true;
    }
    return true;
  }

  std::string name_;
  int fd_ = -1;
};

// A failure met while a journal was carried out: the errno and the entry it concerns (error 0:
// none), and what is left behind and why, if anything, failure or not.
struct failure {
  int error = 0;
  std::size_t entry = 0;
  std::string note;
};

// A name beside name that no file has now: name, a dot and six random letters or digits.
std::string fresh_sibling(const output_folder& folder, const std::string& name) {
  constexpr char letters[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  for (int attempt = 0; attempt < 64; ++attempt) {
    unsigned char random[6];
    if (getrandom(random, sizeof random, 0) != sizeof random) throw file_error::from_errno(folder.path(name), errno);
    std::string sibling = name + ".";
    for (unsigned char r : random) sibling += letters[r % 62];
    if (!folder.exists(sibling)) return sibling;
  }
  throw file_error::from_errno(folder.path(name), EEXIST);
}

// The second name the old file under name is to get, so that it can be put back, or "" if name
// holds no file.
std::string second_name_for(const output_folder& folder, const std::string& name) {
  struct stat status;
  if (fstatat(folder.fd(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return "";
  if (S_ISDIR(status.st_mode)) throw file_error::from_errno(folder.path(name), EISDIR);
  return fresh_sibling(folder, name);
}

// Writes the journal durably, so that it appears under its name whole or not at all: written to
// a file without a name, flushed, then linked in (where the file system has no such files, to a
// named one, linked in and unlinked). A journal is never seen half written, so one that a run
// stopped writing cannot stop the next.
void write_journal(const output_folder& folder, const journal& j) {
  const std::string text = encode(j);
  const std::string path = folder.path(journal_name);
  const auto write_whole = [&](int fd) {
    return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && flush_to_disk(fd) == 0;
  };
  bool linked = false;
  int error = 0;
  if (const int fd = openat(folder.fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600); fd >= 0) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    linked = write_whole(fd) &&
             linkat(AT_FDCWD, self.c_str(), folder.fd(), journal_name, AT_SYMLINK_FOLLOW) == 0;
    error = errno;
    ::close(fd);
    if (!linked && error == EEXIST) throw file_error::from_errno(path, error);
  }
  if (!linked) {
    const std::string temporary = fresh_sibling(folder, journal_name);
    const int fd = openat(folder.fd(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw file_error::from_errno(path, errno);
    linked = write_whole(fd);
    error = errno;
    ::close(fd);
    if (linked) {
      linked = linkat(folder.fd(), temporary.c_str(), folder.fd(), journal_name, 0) == 0;
      error = errno;
    }
    folder.remove(temporary);
    if (!linked) throw file_error::from_errno(path, error);
  }
  if (const int synced = folder.sync(); synced != 0) {
    folder.remove(journal_name);
    throw file_error::from_errno(path, synced);
  }
}

// Turns the journal to another state, durably. A one-byte write within one block lands whole.
int mark_journal(const output_folder& folder, char state) {
  const int fd = openat(folder.fd(), journal_name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  const bool marked = pwrite(fd, &state, 1, state_offset) == 1 && flush_to_disk(fd) == 0;
  const int error = errno;
  ::close(fd);
  return marked ? 0 : error;
}

// "; NAME, WHAT, could not be removed (REASON) and is left behind", for the note of a failure.
std::string left_behind(const output_folder& folder, const std::string& name, const char* what, int error) {
  return "; " + printable_name(folder.path(name)) + ", " + what + ", could not be removed (" +
         std::strerror(error) + ") and is left behind";
}

// Puts back the old files: a temporary still there was never renamed and goes; a name whose
// temporary was renamed gets its old file back, or loses the new one if it had none. A second
// name is removed only where the name holds that same file again, so that the only copy of an
// old file is never lost. Once every name holds its old file again the journal goes, even if a
// second name or a temporary cannot (another user's file in a sticky folder): that is said in
// the note, and leaves the folder as usable as before. Otherwise the journal stays, for a later
// program to finish, and the failure says why.
failure go_back(const output_folder& folder, const journal& j) {
  failure restoring;
  std::string leftovers;
  for (std::size_t i = 0; i < j.entries.size(); ++i) {
    const journal_entry& e = j.entries[i];
    int error = 0;
    if (folder.exists(e.temporary)) {
      if (const int removed = folder.remove(e.temporary); removed != 0) {
        leftovers += left_behind(folder, e.temporary, "a temporary never published", removed);
      }
    } else if (e.kept.empty()) {
      error = folder.remove(e.name);
    } else if (folder.exists(e.kept)) {
      error = folder.rename(e.kept, e.name);
    }
    if (error == 0 && !e.kept.empty() && folder.exists(e.kept)) {
      if (!folder.same_file(e.kept, e.name)) {
        error = EEXIST;
      } else if (const int removed = folder.remove(e.kept); removed != 0) {
        leftovers += left_behind(folder, e.kept, ("a second name of the old " + e.name).c_str(), removed);
      }
    }
    if (error != 0 && restoring.error == 0) restoring = {error, i, ""};
  }
  if (const int error = folder.sync(); error != 0 && restoring.error == 0) restoring = {error, 0, ""};
  if (restoring.error != 0) {
    restoring.note = "; the old files are kept under second names, and " +
                     printable_name(folder.path(journal_name)) +
                     " says where, for the next run in this folder to put back";
    return restoring;
  }
  folder.remove(journal_name);
  folder.sync();
  return {0, 0, leftovers};
}

// Whether entry e of a journal going forward was renamed already: its temporary is gone and its
// name holds a file that is not the old one. A temporary gone without that (removed by hand) can
// no longer be published.
bool renamed_already(const output_folder& folder, const journal_entry& e) {
  if (folder.exists(e.temporary)) return false;
  if (e.kept.empty()) return folder.exists(e.name);
  return folder.exists(e.kept) && folder.exists(e.name) && !folder.same_file(e.kept, e.name);
}

// Removes the second names of a whole pair, and the journal: what a journal marked done leaves.
// A second name that cannot go (another user's file in a sticky folder) is said in the note and
// left behind; the folder is as usable as before.
failure tidy_up(const output_folder& folder, const journal& j) {
  std::string leftovers;
  for (const journal_entry& e : j.entries) {
    if (e.kept.empty()) continue;
    if (const int removed = folder.remove(e.kept); removed != 0) {
      leftovers += left_behind(folder, e.kept, ("a second name of the old " + e.name).c_str(), removed);
    }
  }
  folder.remove(journal_name);
  folder.sync();
  return {0, 0, leftovers};
}

// Carries out a journal; returns the failure of a publication that had to be taken back (the
// first of them), with error 0 if it finished or went back as its journal said.
failure carry_out(const output_folder& folder, const journal& j,
                  int (*rename_file)(const char*, const char*)) {
  if (!j.complete) {
    // Cut short before any rename: the temporaries it names are all it leaves.
    for (const journal_entry& e : j.entries) folder.remove(e.temporary);
    folder.remove(journal_name);
    folder.sync();
    return {};
  }
  if (j.state == 'D') return tidy_up(folder, j);
  failure first;
  if (j.state == 'F') {
    // A publication goes forward only whole: if the temporary of a name not yet renamed is
    // gone, it goes back instead, and the pair stays the old one.
    bool whole = true;
    for (const journal_entry& e : j.entries) {
      whole = whole && (folder.exists(e.temporary) || renamed_already(folder, e));
    }
    // The second names come after the journal: a run stopped before making them all leaves
    // them to be made here, before anything it guards is replaced.
    for (std::size_t i = 0; i < j.entries.size() && whole && first.error == 0; ++i) {
      const journal_entry& e = j.entries[i];
      if (e.kept.empty() || !folder.exists(e.temporary) || folder.exists(e.kept) || !folder.exists(e.name)) continue;
      if (linkat(folder.fd(), e.name.c_str(), folder.fd(), e.kept.c_str(), 0) != 0) first = {errno, i, ""};
    }
    for (std::size_t i = 0; i < j.entries.size() && whole && first.error == 0; ++i) {
      const journal_entry& e = j.entries[i];
      if (folder.exists(e.temporary) &&
          rename_file(folder.path(e.temporary).c_str(), folder.path(e.name).c_str()) != 0) {
        first = {errno, i, ""};
      }
    }
    if (whole && first.error == 0) {
      if (const int error = folder.sync(); error != 0) first = {error, j.entries.size() - 1, ""};
    }
    if (whole && first.error == 0) {
      // The pair is whole. Said so in the journal before its second names go: once one is gone,
      // the names alone could no longer tell a finished rename from a temporary removed by hand.
      if (const int error = mark_journal(folder, 'D'); error != 0) return {error, 0, ""};
      return tidy_up(folder, j);
    }
    if (const int error = mark_journal(folder, 'B'); error != 0) {
      if (first.error == 0) first = {error, 0, ""};
      first.note = "; " + printable_name(folder.path(journal_name)) +
                   " could not be marked, so the next run in this folder will finish instead";
      return first;
    }
  }
  const failure back = go_back(folder, j);
  if (first.error == 0) return back;  // a journal found going back, or one that could not go on
  first.note = back.note;
  return first;
}

// Refuses, at once and without opening it, a journal that is not a regular file of this user's:
// nothing this program makes is a link, a folder or a FIFO (whose opening would wait for a
// writer), and another user's journal is theirs to finish.
void refuse_foreign_journal(const std::string& path, const struct stat& status) {
  const char* kind = S_ISLNK(status.st_mode)    ? "a symbolic link"
                     : S_ISDIR(status.st_mode)  ? "a folder"
                     : S_ISFIFO(status.st_mode) ? "a FIFO"
                     : S_ISSOCK(status.st_mode) ? "a socket"
                     : S_ISREG(status.st_mode)  ? nullptr
                                                : "a device";
  if (kind != nullptr) {
    throw file_error(path, std::string("is ") + kind +
                               ", not a journal of a tornavel program, which no program here will "
                               "write over; remove it");
  }
  if (status.st_uid != geteuid()) {
    throw file_error(path, "a publication interrupted by another user is unfinished here; only "
                           "that user can finish it, by running a program of tornavel here");
  }
}

// Carries out a journal an earlier run left, if there is one. Precondition: the lock is held.
void settle_journal(const output_folder& folder, const publish_options& options) {
  const std::string path = folder.path(journal_name);
  struct stat status;
  if (fstatat(folder.fd(), journal_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return;
    throw file_error::from_errno(path, errno);
  }
  refuse_foreign_journal(path, status);
  const int fd = openat(folder.fd(), journal_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw file_error::from_errno(path, errno);
  struct stat opened;
  const bool same = fstat(fd, &opened) == 0 && opened.st_dev == status.st_dev && opened.st_ino == status.st_ino;
  std::string text(journal_most_bytes + 1, '\0');
  const ssize_t got = same ? ::read(fd, text.data(), text.size()) : -1;
  ::close(fd);
  if (!same) throw file_error(path, "changed while it was read; run again");
  std::optional<journal> j;
  if (got >= 0 && static_cast<std::size_t>(got) <= journal_most_bytes) j = decode(text.substr(0, static_cast<std::size_t>(got)));
  if (!j) throw file_error(path, "not a journal this program can carry out; remove it if it is no longer needed");
  const failure left = carry_out(folder, *j, std::rename);
  if (left.error != 0) {
    throw file_error(folder.path(left.entry < j->entries.size() ? j->entries[left.entry].name
                                                                : journal_name),
                     std::string(std::strerror(left.error)) +
                         " (while finishing a publication an interrupted run left)" + left.note);
  }
  if (!left.note.empty() && options.notice) {
    options.notice(printable_name(path) + ": an interrupted run's publication is settled" + left.note);
  }
}

// Refuses, before any work, an output that belongs to another user in a sticky folder (as /tmp
// is) that is not ours: the kernel would let neither its replacement nor the removal of a second
// name made for it, so publishing could only fail half way.
void refuse_foreign_outputs(const output_folder& folder, std::initializer_list<std::string> names) {
  struct stat own;
  if (geteuid() == 0 || fstat(folder.fd(), &own) != 0 || (own.st_mode & S_ISVTX) == 0 || own.st_uid == geteuid()) {
    return;
  }
  for (const std::string& name : names) {
    struct stat status;
    if (fstatat(folder.fd(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && status.st_uid != geteuid()) {
      throw file_error(folder.path(name), "belongs to another user, in a sticky folder where only its owner "
                                          "can replace it", EPERM);
    }
  }
}

}  // namespace

void publish_together(std::initializer_list<staged_file*> files, const publish_options& options) {
  if (files.size() == 0) return;
  const std::vector<staged_file*> order(files);
  const output_folder folder(folder_of(order.front()->path()));
  folder.check_replaceable();
  folder.lock(options.waiting);
  const held_signals held;
  settle_journal(folder, options);

  journal j;
  for (staged_file* file : order) {
    const std::string name = base_of(file->path());
    if (folder_of(file->path()) != folder_of(order.front()->path())) {
      throw file_error(file->path(), "is published with files of another folder, which no journal can keep together");
    }
    refuse_foreign_outputs(folder, {name});
    j.entries.push_back({name, base_of(file->temporary_path()), second_name_for(folder, name)});
  }
  j.complete = true;
  write_journal(folder, j);
  // From here on the journal, not the staged files, answers for the temporaries; and a run
  // stopped at any point is settled by the next program in this folder.
  for (staged_file* file : order) file->hand_over_temporary();
  for (std::size_t i = 0; i < j.entries.size(); ++i) {
    const journal_entry& e = j.entries[i];
    if (e.kept.empty() || linkat(folder.fd(), e.name.c_str(), folder.fd(), e.kept.c_str(), 0) == 0) continue;
    // What stops the link (an immutable file) would stop the rename too: reported as the rename
    // would be, before anything is replaced, and the journal taken back.
    const int error = errno;
    const failure back = go_back(folder, j);
    throw file_error(order[i]->path(), std::string(std::strerror(error)) + back.note, error);
  }
  const failure left = carry_out(folder, j, options.rename_file);
  if (left.error != 0) {
    const file_error error = file_error::from_errno(order[left.entry]->path(), left.error);
    throw file_error(error.path(), error.reason() + left.note, left.error);
  }
  if (!left.note.empty() && options.notice) options.notice("the outputs are published" + left.note);
}

void prepare_output_folder(const std::string& path, const publish_options& options) {
  const output_folder folder(folder_of(path));
  folder.check_replaceable();
  refuse_foreign_outputs(folder, {base_of(path)});
  if (!folder.exists(journal_name)) return;
  folder.lock(options.waiting);
  const held_signals held;
  settle_journal(folder, options);
}

void finish_interrupted_publication(const std::string& path, const publish_options& options) {
  struct stat status;
  const std::string folder_name = folder_of(path);
  const std::string journal_path = folder_name == "." ? journal_name : folder_name + "/" + journal_name;
  if (lstat(journal_path.c_str(), &status) != 0) return;
  const output_folder folder(folder_name);
  folder.lock(options.waiting);
  const held_signals held;
  settle_journal(folder, options);
}

void finish_interrupted_publications(const std::vector<std::string>& paths, const publish_options& options) {
  for (const std::string& path : paths) {
    if (path != "-") finish_interrupted_publication(path, options);
  }
}

}  // namespace tornavel
