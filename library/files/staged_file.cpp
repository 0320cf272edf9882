#include "files/staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <utility>

#include "files/file_error.h"
#include "files/held_signals.h"

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

mode_t mode_for(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) return status.st_mode & 0777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
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

std::string staged_file::hand_over_temporary() {
  release_name(registry_slot_);
  return std::exchange(temporary_path_, std::string());
}

void remove_staged_files_now() noexcept {
  for (registered_name& slot : registry) {
    if (slot.in_use.load(std::memory_order_acquire)) unlink(slot.name.data());
  }
}

}  // namespace tornavel
