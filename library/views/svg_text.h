// Text in the SVG pictures of the viewer.
#ifndef TORNAVEL_VIEWS_SVG_TEXT_H_
#define TORNAVEL_VIEWS_SVG_TEXT_H_

#include <cstdio>
#include <string>

#include "files/file_error.h"

namespace tornavel {

// Text for an SVG element, always well-formed: bytes that are not UTF-8 replaced (by U+FFFD),
// the characters XML gives meaning escaped, and C0 controls (not allowed in XML) dropped.
inline std::string xml_text(const std::string& text) {
  std::string valid = as_utf8(text);
  // U+FFFE and U+FFFF are UTF-8 but not XML.
  for (std::size_t at; (at = valid.find("\xef\xbf\xbe")) != std::string::npos || (at = valid.find("\xef\xbf\xbf")) != std::string::npos;) {
    valid.replace(at, 3, "\xef\xbf\xbd");
  }
  std::string out;
  for (const char c : valid) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
  }
  return out;
}

// The start of an SVG picture of the given size, on white; extra attributes (a font) go on the
// svg element.
inline std::string svg_start(double width, double height, const std::string& attributes) {
  char text[300];
  std::snprintf(text, sizeof text,
                "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" viewBox=\"0 0 %g %g\" "
                "%s>\n<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
                width, height, width, height, attributes.c_str());
  return text;
}

}  // namespace tornavel

#endif  // TORNAVEL_VIEWS_SVG_TEXT_H_
