#include "job/output_place.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "files/file_error.h"

namespace tornavel {

output_place where_output_goes(const std::string& path) {
  if (path == "-") return output_place::standard_output;
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return output_place::staged;  // a name not yet taken
  if (S_ISLNK(status.st_mode) && stat(path.c_str(), &status) != 0) return output_place::staged;  // a dangling link
  if (S_ISDIR(status.st_mode)) throw file_error::from_errno(path, EISDIR);
  return S_ISREG(status.st_mode) ? output_place::staged : output_place::through;
}

output_target::output_target(const std::string& path) {
  switch (where_output_goes(path)) {
    case output_place::standard_output:
      stream_.emplace(stdout, "standard output");
      standard_ = true;
      return;
    case output_place::through:
      stream_.emplace(file_stream::open(path, "wb"));
      return;
    case output_place::staged:
      staged_.emplace(path);
  }
}

output_target::~output_target() {
  if (standard_) stream_->release();  // standard output is not ours to close
}

std::string output_target::folder() const {
  if (!staged_) return "";
  return std::filesystem::path(staged_->path()).parent_path().lexically_normal().string();
}

void output_target::finish() {
  if (staged_) {
    staged_->finish();
  } else if (standard_) {
    stream_->flush();
  } else {
    stream_->close();
  }
}

}  // namespace tornavel
