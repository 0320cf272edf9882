// Text in the SVG pictures of the viewer.
#ifndef TORNAVEL_TOOL_SVG_TEXT_H_
#define TORNAVEL_TOOL_SVG_TEXT_H_

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

}  // namespace tornavel

#endif  // TORNAVEL_TOOL_SVG_TEXT_H_
