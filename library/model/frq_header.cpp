#include "model/frq_header.h"

#include <algorithm>
#include <string_view>

#include "system/coding.h"
#include "model/shape.h"

namespace tornavel {

std::array<unsigned char, frq_header_bytes> encode_frq_header(frq_shape shape) {
  std::array<unsigned char, frq_header_bytes> header;
  encode_fixed32(header.data(), shape.columns);
  encode_fixed32(header.data() + 4, shape.rows);
  return header;
}

std::string foreign_file_hint(std::span<const unsigned char> first_bytes) {
  const std::string_view start(reinterpret_cast<const char*>(first_bytes.data()), first_bytes.size());
  if (start.substr(0, 6) == "\x93NUMPY") {
    return "file is a NumPy .npy file, not a count-matrix file (tornavel-convert makes one from it)";
  }
  if (start.substr(0, 2) == "\x1f\x8b") {
    return "file is gzip-compressed (zcat it into tornavel /dev/stdin, or let tornavel-convert read it)";
  }
  if (start.substr(0, 8) == "%%Matrix") {
    return "file is Matrix Market, not a count-matrix file (tornavel-convert makes one from it)";
  }
  // A CSV or a table given by mistake: its digits and separators make a header of absurd sizes.
  const bool text = !first_bytes.empty() && std::all_of(first_bytes.begin(), first_bytes.end(), [](unsigned char c) {
    return (c >= 0x20 && c < 0x7f) || c == '\t' || c == '\n' || c == '\r';
  });
  if (text) {
    return "file looks like text, not a count-matrix file (tornavel-convert makes one from a CSV or TSV table)";
  }
  return "";
}

frq_shape decode_frq_header(std::span<const unsigned char, frq_header_bytes> header, std::string& reason) {
  const frq_shape shape{decode_fixed32(header.data()), decode_fixed32(header.data() + 4)};
  reason = shape_fault(shape.rows, shape.columns);
  if (shape.columns < 0 || shape.rows < 0) reason = "header gives " + reason;
  if (!reason.empty()) {
    if (const std::string hint = foreign_file_hint(header); !hint.empty()) reason = hint;
  }
  return shape;
}

}  // namespace tornavel
