// Text in the SVG pictures of the viewer.
#ifndef TORNAVEL_TOOL_SVG_TEXT_H_
#define TORNAVEL_TOOL_SVG_TEXT_H_

#include <cstdio>
#include <string>

namespace tornavel {

// Text for an SVG element: the characters XML gives meaning escaped, and C0 controls (not
// allowed in XML) dropped.
inline std::string xml_text(const std::string& text) {
  std::string out;
  for (const char c : text) {
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

#endif  // TORNAVEL_TOOL_SVG_TEXT_H_
