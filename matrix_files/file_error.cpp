#include "matrix_files/file_error.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tornavel {
namespace {

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

}  // namespace

file_error::file_error(const std::string& path, const std::string& reason)
    : std::runtime_error(printable_name(path) + ": " + reason), path_(path), reason_(reason) {}

file_error file_error::from_errno(const std::string& path, int error_number) {
  // A stream call that failed without setting errno still deserves a reason.
  if (error_number == 0) return file_error(path, "input/output error");
  return file_error(path, std::strerror(error_number));
}

std::string printable_name(const std::string& name) {
  if (std::none_of(name.begin(), name.end(), [](char c) { return is_control(c); })) return name;
  std::string out = "'";
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      case '\'': out += "\\'"; break;
      default:
        if (is_control(c)) {
          char escaped[5];
          std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
          out += escaped;
        } else {
          out += ch;
        }
    }
  }
  return out + "'";
}

}  // namespace tornavel
