#include "files/file_error.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace tornavel {
namespace {

// The length of the well-formed UTF-8 sequence at the start of text, 0 if there is none.
std::size_t utf8_length(std::string_view text, char32_t& code) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length;
  char32_t least;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2, code = lead & 0x1f, least = 0x80;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3, code = lead & 0x0f, least = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4, code = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3f);
  }
  if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
  return length;
}

// Characters that act on a terminal or on how the text around them is shown: C0 and C1
// controls, and the marks and overrides of bidirectional text, which can make a name read
// backwards or hide what follows it.
bool acts_on_display(char32_t c) {
  return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f ||
         (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

file_error::file_error(const std::string& path, const std::string& reason)
    : std::runtime_error(printable_name(path) + ": " + reason), path_(path), reason_(reason) {}

file_error file_error::from_errno(const std::string& path, int error_number) {
  // A stream call that failed without setting errno still deserves a reason.
  if (error_number == 0) error_number = EIO;
  file_error error(path, std::strerror(error_number));
  error.error_number_ = error_number;
  return error;
}

std::string printable_name(const std::string& name) {
  bool plain = true;
  for (std::size_t at = 0; at < name.size() && plain;) {
    char32_t code;
    const std::size_t length = utf8_length(std::string_view(name).substr(at), code);
    plain = length > 0 && !acts_on_display(code);
    at += length;
  }
  if (plain) return name;
  std::string out = "'";
  for (std::size_t at = 0; at < name.size();) {
    char32_t code;
    const std::size_t length = utf8_length(std::string_view(name).substr(at), code);
    const auto c = static_cast<unsigned char>(name[at]);
    if (length > 0 && !acts_on_display(code)) {
      if (c == '\\' || c == '\'') out += '\\';
      out.append(name, at, length);
      at += length;
      continue;
    }
    if (length == 0 || length == 1) {  // a byte that is not UTF-8, or an ASCII control
      switch (c) {
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default: {
          char escaped[5];
          std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
          out += escaped;
        }
      }
      ++at;
    } else {
      char escaped[12];
      std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(code));
      out += escaped;
      at += length;
    }
  }
  return out + "'";
}

}  // namespace tornavel

namespace tornavel {

std::string as_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    char32_t code;
    const std::size_t length = utf8_length(text.substr(at), code);
    if (length == 0) {
      out += "\xef\xbf\xbd";
      ++at;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out;
}

}  // namespace tornavel
