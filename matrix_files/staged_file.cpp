#include "matrix_files/staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "matrix_files/file_error.h"

namespace tornavel {

staged_file::staged_file(std::string path) : path_(std::move(path)) {
  std::string name = path_ + ".XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) throw file_error::from_errno(path_, errno);
  const auto give_up = [&](int error) {
    close(fd);
    unlink(name.c_str());
    return file_error::from_errno(path_, error);
  };
  // mkstemp creates the file private to its owner; give it the permissions a plain fopen "wb"
  // would have, so that replacing an output does not change who may read it.
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, 0666 & ~mask) != 0) throw give_up(errno);
  std::FILE* stream = fdopen(fd, "wb");
  if (stream == nullptr) throw give_up(errno);
  temporary_path_ = std::move(name);
  stream_.emplace(stream, path_);
}

staged_file::staged_file(staged_file&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_path_(std::exchange(other.temporary_path_, std::string())),
      stream_(std::move(other.stream_)) {
  other.stream_.reset();
}

staged_file::~staged_file() {
  stream_.reset();
  if (!temporary_path_.empty()) std::remove(temporary_path_.c_str());
}

void staged_file::finish() {
  file_stream stream = std::move(*stream_);
  stream_.reset();
  stream.close();
}

void staged_file::publish() {
  errno = 0;
  if (std::rename(temporary_path_.c_str(), path_.c_str()) != 0) {
    throw file_error::from_errno(path_, errno);
  }
  temporary_path_.clear();
}

void publish_in_order(std::initializer_list<staged_file*> files) {
  for (staged_file* file : files) {
    struct stat status;
    if (stat(file->path().c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      throw file_error::from_errno(file->path(), EISDIR);
    }
  }
  for (staged_file* file : files) file->publish();
}

}  // namespace tornavel
