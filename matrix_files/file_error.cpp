#include "matrix_files/file_error.h"

#include <cstring>

namespace tornavel {

file_error::file_error(const std::string& path, const std::string& reason)
    : std::runtime_error(path + ": " + reason), path_(path), reason_(reason) {}

file_error file_error::from_errno(const std::string& path, int error_number) {
  // A stream call that failed without setting errno still deserves a reason.
  if (error_number == 0) return file_error(path, "input/output error");
  return file_error(path, std::strerror(error_number));
}

}  // namespace tornavel
