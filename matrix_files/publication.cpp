#include "matrix_files/publication.h"

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

#include "matrix_files/file_error.h"
#include "matrix_files/file_stream.h"
#include "matrix_files/held_signals.h"

namespace tornavel {
namespace {

// The journal, in order: this line; the state, 'F' (finishing: rename the temporaries) or 'B'
// (going back: restore the old files), and a newline; for each file its name, its temporary's
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

// Reads a journal's text; nullopt if it is not one this program wrote.
std::optional<journal> decode(const std::string& text) {
  if (text.size() < state_offset + 2 || text.compare(0, state_offset, journal_magic) != 0 ||
      (text[state_offset] != 'F' && text[state_offset] != 'B') || text[state_offset + 1] != '\n') {
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

// A failure met while a journal was carried out: the errno and the entry it concerns.
struct failure {
  int error = 0;
  std::size_t entry = 0;
  std::string note;  // what is left for a later program, if anything
};

// Gives the old file under name a second name, so that it can be put back; "" if name holds no
// file. Random names, tried a bounded number of times, and nothing created on failure.
std::string keep_reachable(const output_folder& folder, const std::string& name) {
  struct stat status;
  if (fstatat(folder.fd(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return "";
  if (S_ISDIR(status.st_mode)) throw file_error::from_errno(folder.path(name), EISDIR);
  constexpr char letters[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  int error = EEXIST;
  for (int attempt = 0; attempt < 64 && error == EEXIST; ++attempt) {
    unsigned char random[6];
    if (getrandom(random, sizeof random, 0) != sizeof random) {
      error = errno;
      break;
    }
    std::string kept = name + ".";
    for (unsigned char r : random) kept += letters[r % 62];
    if (linkat(folder.fd(), name.c_str(), folder.fd(), kept.c_str(), 0) == 0) return kept;
    error = errno;
  }
  // What stops the link (an immutable file, another user's in a sticky folder) would stop the
  // rename too: reported as the rename would be, before anything is replaced.
  throw file_error::from_errno(folder.path(name), error);
}

// Writes the journal durably, refusing to go on without one.
void write_journal(const output_folder& folder, const journal& j) {
  const int fd = openat(folder.fd(), journal_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw file_error::from_errno(folder.path(journal_name), errno);
  const std::string text = encode(j);
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       flush_to_disk(fd) == 0;
  const int error = errno;
  ::close(fd);
  if (!written || folder.sync() != 0) {
    folder.remove(journal_name);
    throw file_error::from_errno(folder.path(journal_name), written ? errno : error);
  }
}

// Turns the journal to going back, durably. A one-byte write within one block lands whole.
int mark_going_back(const output_folder& folder) {
  const int fd = openat(folder.fd(), journal_name, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const bool marked = pwrite(fd, "B", 1, state_offset) == 1 && flush_to_disk(fd) == 0;
  const int error = errno;
  ::close(fd);
  return marked ? 0 : error;
}

// Puts back the old files: a temporary still there was never renamed and goes; a name whose
// temporary was renamed gets its old file back, or loses the new one if it had none. A second
// name is removed only where the name holds that same file again, so that the only copy of an
// old file is never lost. Returns what could not be done.
failure go_back(const output_folder& folder, const journal& j) {
  failure left;
  for (std::size_t i = 0; i < j.entries.size(); ++i) {
    const journal_entry& e = j.entries[i];
    int error = 0;
    if (folder.exists(e.temporary)) {
      error = folder.remove(e.temporary);
    } else if (e.kept.empty()) {
      error = folder.remove(e.name);
    } else if (folder.exists(e.kept)) {
      error = folder.rename(e.kept, e.name);
    }
    if (error == 0 && !e.kept.empty() && folder.exists(e.kept)) {
      error = folder.same_file(e.kept, e.name) ? folder.remove(e.kept) : EEXIST;
    }
    if (error != 0 && left.error == 0) left = {error, i, ""};
  }
  if (const int error = folder.sync(); error != 0 && left.error == 0) left = {error, 0, ""};
  if (left.error == 0) {
    folder.remove(journal_name);
  } else {
    left.note = "; the old files are kept under second names, and " +
                printable_name(folder.path(journal_name)) +
                " says where, for the next run in this folder to put back";
  }
  return left;
}

// Carries out a journal; returns the failure of a publication that had to be taken back (the
// first of them), with error 0 if it finished.
failure carry_out(const output_folder& folder, const journal& j,
                  int (*rename_file)(const char*, const char*)) {
  if (!j.complete) {
    // Cut short before any rename: the temporaries it names are all it leaves.
    for (const journal_entry& e : j.entries) folder.remove(e.temporary);
    folder.remove(journal_name);
    folder.sync();
    return {};
  }
  failure first;
  if (j.state == 'F') {
    for (std::size_t i = 0; i < j.entries.size() && first.error == 0; ++i) {
      const journal_entry& e = j.entries[i];
      if (folder.exists(e.temporary) &&
          rename_file(folder.path(e.temporary).c_str(), folder.path(e.name).c_str()) != 0) {
        first = {errno, i, ""};
      }
    }
    if (first.error == 0) {
      if (const int error = folder.sync(); error != 0) first = {error, j.entries.size() - 1, ""};
    }
    if (first.error == 0) {
      for (const journal_entry& e : j.entries) {
        if (!e.kept.empty()) folder.remove(e.kept);
      }
      folder.remove(journal_name);
      return {};
    }
    if (const int error = mark_going_back(folder); error != 0) {
      first.note = "; " + printable_name(folder.path(journal_name)) +
                   " could not be marked, so the next run in this folder will finish instead";
      return first;
    }
  }
  const failure back = go_back(folder, j);
  if (first.error == 0) return back;  // a journal found going back
  first.note = back.note;
  return first;
}

// Carries out a journal an earlier run left, if there is one. Precondition: the lock is held.
void settle_journal(const output_folder& folder) {
  const int fd = openat(folder.fd(), journal_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return;
  const std::string path = folder.path(journal_name);
  if (fd < 0) throw file_error::from_errno(path, errno);
  struct stat status;
  std::string text(journal_most_bytes, '\0');
  const bool ours = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid();
  const ssize_t got = ours ? ::read(fd, text.data(), text.size()) : -1;
  ::close(fd);
  if (!ours) {
    throw file_error(path, "a publication interrupted by another user is unfinished here; only "
                           "that user can finish it, by running a program of tornavel here");
  }
  std::optional<journal> j;
  if (got >= 0) j = decode(text.substr(0, static_cast<std::size_t>(got)));
  if (!j) throw file_error(path, "not a journal this program can carry out; remove it if it is no longer needed");
  const failure left = carry_out(folder, *j, std::rename);
  if (left.error != 0) {
    throw file_error(folder.path(left.entry < j->entries.size() ? j->entries[left.entry].name
                                                                : journal_name),
                     std::string(std::strerror(left.error)) +
                         " (while finishing a publication an interrupted run left)" + left.note);
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
  settle_journal(folder);

  journal j;
  try {
    for (staged_file* file : order) {
      const std::string name = base_of(file->path());
      j.entries.push_back({name, base_of(file->temporary_path()), ""});
      j.entries.back().kept = keep_reachable(folder, name);
    }
    j.complete = true;
    write_journal(folder, j);
  } catch (...) {
    for (const journal_entry& e : j.entries) {
      if (!e.kept.empty()) folder.remove(e.kept);
    }
    throw;
  }
  // From here on the journal, not the staged files, answers for the temporaries.
  for (staged_file* file : order) file->hand_over_temporary();
  const failure left = carry_out(folder, j, options.rename_file);
  if (left.error != 0) {
    const file_error error = file_error::from_errno(order[left.entry]->path(), left.error);
    throw file_error(error.path(), error.reason() + left.note);
  }
}

void prepare_output_folder(const std::string& path, const publish_options& options) {
  const output_folder folder(folder_of(path));
  folder.check_replaceable();
  if (!folder.exists(journal_name)) return;
  folder.lock(options.waiting);
  const held_signals held;
  settle_journal(folder);
}

void finish_interrupted_publication(const std::string& path, const publish_options& options) {
  struct stat status;
  const std::string folder_name = folder_of(path);
  const std::string journal_path = folder_name == "." ? journal_name : folder_name + "/" + journal_name;
  if (lstat(journal_path.c_str(), &status) != 0) return;
  const output_folder folder(folder_name);
  folder.lock(options.waiting);
  const held_signals held;
  settle_journal(folder);
}

}  // namespace tornavel
