#include "matrix_files/staged_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "matrix_files/file_error.h"

namespace tornavel {
namespace {

// The names of the temporary files that exist now, where a signal handler can find them: fixed
// slots, since a handler may neither allocate nor take a lock.
struct registered_name {
  std::atomic<bool> in_use{false};
  std::array<char, PATH_MAX> name{};
};
static_assert(std::atomic<bool>::is_always_lock_free);
std::array<registered_name, 16> registry;
std::mutex registry_mutex;  // between threads that stage files; the handler only reads

// Flushes a file or folder to the disk: 0, or -1 with errno set.
int flush_to_disk(int fd) {
#ifdef TORNAVEL_NO_FSYNC
  (void)fd;
  return 0;
#else
  return fsync(fd);
#endif
}

int register_name(const std::string& name) {
  if (name.size() >= PATH_MAX) return -1;
  const std::lock_guard lock(registry_mutex);
  for (std::size_t i = 0; i < registry.size(); ++i) {
    if (!registry[i].in_use.load(std::memory_order_relaxed)) {
      std::memcpy(registry[i].name.data(), name.c_str(), name.size() + 1);
      registry[i].in_use.store(true, std::memory_order_release);
      return static_cast<int>(i);
    }
  }
  return -1;
}

void release_name(int& slot) {
  if (slot >= 0) registry[static_cast<std::size_t>(slot)].in_use.store(false);
  slot = -1;
}

// Holds off the signals that end a run while it lives, on the calling thread (the only one
// they are delivered to: other threads of ours block them for good).
class held_signals {
 public:
  held_signals() {
    sigset_t ending;
    sigemptyset(&ending);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&ending, signal);
    pthread_sigmask(SIG_BLOCK, &ending, &before_);
  }
  ~held_signals() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
  held_signals(const held_signals&) = delete;
  held_signals& operator=(const held_signals&) = delete;

 private:
  sigset_t before_;
};

// The folder holding path, open for a lock and a sync; -1 if it cannot be opened (a folder we
// may write to but not read), in which case publishing goes on without either.
class folder_handle {
 public:
  explicit folder_handle(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  ~folder_handle() {
    if (fd_ >= 0) ::close(fd_);  // also releases the lock
  }
  folder_handle(const folder_handle&) = delete;
  folder_handle& operator=(const folder_handle&) = delete;

  void lock() {
    // A file system without flock (ENOLCK) leaves runs unserialised, as they were.
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  // 0, or the errno of a failed flush. Folders that cannot be flushed (EINVAL) count as done.
  int sync() {
    if (fd_ < 0 || flush_to_disk(fd_) == 0 || errno == EINVAL) return 0;
    return errno;
  }

 private:
  int fd_ = -1;
};

mode_t mode_for(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) return status.st_mode & 0777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// What stood under a name before it was replaced: nothing, or a file kept reachable under a
// second name so that it can be put back, or a file that cannot have a second name (a file
// system without links), which a failed publish has to leave replaced.
struct old_file {
  bool existed = false;
  std::string kept;
};

old_file keep_reachable(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return {};
  for (int attempt = 0; attempt < 100 && !S_ISDIR(status.st_mode); ++attempt) {
    std::string name = path + ".XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) break;
    close(fd);
    unlink(name.c_str());
    if (link(path.c_str(), name.c_str()) == 0) return {true, name};
    if (errno != EEXIST) break;
  }
  return {true, ""};
}

}  // namespace

staged_file::staged_file(std::string path) : path_(std::move(path)) {
  const mode_t mode = mode_for(path_);
  std::string name = path_ + ".XXXXXX";
  int fd;
  {
    // No signal may come between creating the file and registering it for removal.
    const held_signals held;
    fd = mkstemp(name.data());
    if (fd < 0) throw file_error::from_errno(path_, errno);
    registry_slot_ = register_name(name);
  }
  const auto give_up = [&](int error) {
    close(fd);
    unlink(name.c_str());
    release_name(registry_slot_);
    return file_error::from_errno(path_, error);
  };
  if (registry_slot_ < 0) throw give_up(ENAMETOOLONG);
  // mkstemp creates the file private to its owner; give it the permissions the replaced file
  // had, as writing into it would have kept them.
  if (fchmod(fd, mode) != 0) throw give_up(errno);
  std::FILE* stream = fdopen(fd, "wb");
  if (stream == nullptr) throw give_up(errno);
  temporary_path_ = std::move(name);
  stream_.emplace(stream, path_);
}

staged_file::staged_file(staged_file&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_path_(std::exchange(other.temporary_path_, std::string())),
      stream_(std::move(other.stream_)),
      registry_slot_(std::exchange(other.registry_slot_, -1)) {
  other.stream_.reset();
}

staged_file::~staged_file() {
  stream_.reset();
  if (!temporary_path_.empty()) unlink(temporary_path_.c_str());
  release_name(registry_slot_);
}

void staged_file::finish() {
  file_stream stream = std::move(*stream_);
  stream_.reset();
  // Flushed to the disk before it is renamed, so that a crash cannot leave the new name on a
  // file whose contents never got there.
  if (std::fflush(stream.get()) != 0 || flush_to_disk(fileno(stream.get())) != 0) {
    throw file_error::from_errno(path_, errno);
  }
  stream.close();
}

void publish_together(std::initializer_list<staged_file*> files,
                      int (*rename_file)(const char*, const char*)) {
  if (files.size() == 0) return;
  folder_handle folder((*files.begin())->path());
  folder.lock();
  const held_signals held;

  std::vector<staged_file*> order(files);
  std::vector<old_file> old(order.size());
  // Every file, the last too: if the folder cannot be flushed after the renames, all go back.
  for (std::size_t i = 0; i < order.size(); ++i) old[i] = keep_reachable(order[i]->path());
  const auto forget_kept = [&] {
    for (const old_file& o : old) {
      if (!o.kept.empty()) unlink(o.kept.c_str());
    }
  };
  // Puts back what the first `published` names held, and returns the failure to throw.
  const auto undo = [&](std::size_t published, const std::string& path, int error) {
    for (std::size_t j = 0; j < published; ++j) {
      const std::string& name = order[j]->path();
      if (!old[j].existed) {
        unlink(name.c_str());
      } else if (!old[j].kept.empty() && std::rename(old[j].kept.c_str(), name.c_str()) == 0) {
        old[j].kept.clear();
      }
    }
    forget_kept();
    folder.sync();
    return file_error::from_errno(path, error);
  };

  for (std::size_t i = 0; i < order.size(); ++i) {
    staged_file& file = *order[i];
    if (rename_file(file.temporary_path_.c_str(), file.path_.c_str()) != 0) {
      throw undo(i, file.path_, errno);
    }
    file.temporary_path_.clear();
    release_name(file.registry_slot_);
  }
  if (const int error = folder.sync(); error != 0) throw undo(order.size(), order.back()->path(), error);
  forget_kept();
}

void remove_staged_files_now() noexcept {
  for (registered_name& slot : registry) {
    if (slot.in_use.load(std::memory_order_acquire)) unlink(slot.name.data());
  }
}

}  // namespace tornavel
