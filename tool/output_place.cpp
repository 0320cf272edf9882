#include "tool/output_place.h"

#include <sys/stat.h>

#include <cerrno>

#include "matrix_files/file_error.h"

namespace tornavel {

output_place where_output_goes(const std::string& path) {
  if (path == "-") return output_place::standard_output;
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return output_place::staged;  // a name not yet taken
  if (S_ISLNK(status.st_mode) && stat(path.c_str(), &status) != 0) return output_place::staged;  // a dangling link
  if (S_ISDIR(status.st_mode)) throw file_error::from_errno(path, EISDIR);
  return S_ISREG(status.st_mode) ? output_place::staged : output_place::through;
}

}  // namespace tornavel
