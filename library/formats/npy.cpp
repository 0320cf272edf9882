// NumPy's .npy files, read as NumPy itself reads them: versions 1.0, 2.0 and 3.0, a header that
// is a dictionary of exactly 'descr', 'fortran_order' and 'shape', every integer dtype, bool,
// float32 and float64 in either byte order, C or Fortran order.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <type_traits>
#include <vector>

#include "formats/formats.h"
#include "system/coding.h"

namespace tornavel {
namespace {

// The header, parsed.
struct npy_header {
  char byte_order = '<';  // '<', '>' or '|'
  char kind = 'i';        // 'i', 'u', 'b' or 'f'
  int size = 4;           // bytes per element
  bool fortran = false;
  std::vector<std::int64_t> shape;
};

// A reader of the header's Python literal: a dict with string keys, a string, True/False and a
// tuple of integers, as numpy.lib.format writes and reads them.
class literal_reader {
 public:
  literal_reader(std::string_view text, const count_matrix_builder& builder)
      : text_(text), builder_(builder) {}

  void expect(char c) {
    skip_blanks();
    if (at_ >= text_.size() || text_[at_] != c) fail();
    ++at_;
  }
  bool take(char c) {
    skip_blanks();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  std::string string() {
    skip_blanks();
    if (at_ >= text_.size() || (text_[at_] != '\'' && text_[at_] != '"')) fail();
    const char quote = text_[at_++];
    const std::size_t end = text_.find(quote, at_);
    if (end == std::string_view::npos) fail();
    std::string out(text_.substr(at_, end - at_));
    at_ = end + 1;
    return out;
  }
  bool boolean() {
    skip_blanks();
    for (const auto& [word, value] : {std::pair{"True", true}, std::pair{"False", false}}) {
      if (text_.substr(at_, std::strlen(word)) == word) {
        at_ += std::strlen(word);
        return value;
      }
    }
    fail();
  }
  std::int64_t integer() {
    skip_blanks();
    std::int64_t value = 0;
    std::size_t digits = 0;
    for (; at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9'; ++at_, ++digits) {
      if (value > (std::int64_t{1} << 56)) builder_.refuse({}, "the .npy shape is too large");
      value = value * 10 + (text_[at_] - '0');
    }
    if (digits == 0) fail();
    return value;
  }
  void end() {
    skip_blanks();
    if (at_ != text_.size()) fail();
  }
  [[noreturn]] void fail() const {
    builder_.refuse({}, "the .npy header is not one NumPy writes (" + std::string(text_.substr(0, 80)) + ")");
  }

 private:
  void skip_blanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n')) ++at_;
  }
  std::string_view text_;
  std::size_t at_ = 0;
  const count_matrix_builder& builder_;
};

npy_header parse_header(std::string_view text, const count_matrix_builder& builder) {
  literal_reader in(text, builder);
  npy_header h;
  bool seen[3] = {};
  in.expect('{');
  while (!in.take('}')) {
    const std::string key = in.string();
    in.expect(':');
    const int which = key == "descr" ? 0 : key == "fortran_order" ? 1 : key == "shape" ? 2 : -1;
    if (which < 0 || seen[which]) in.fail();
    seen[which] = true;
    if (which == 0) {
      const std::string descr = in.string();
      const bool known_order = !descr.empty() && (descr[0] == '<' || descr[0] == '>' ||
                                                  descr[0] == '|' || descr[0] == '=');
      if (!known_order || descr.size() < 3 || descr.size() > 3 || descr[2] < '1' || descr[2] > '8') {
        builder.refuse({}, "unsupported dtype '" + descr + "' (integers, bool, float32, float64)");
      }
      h.byte_order = descr[0] == '=' ? (host_is_little_endian ? '<' : '>') : descr[0];
      h.kind = descr[1];
      h.size = descr[2] - '0';
      const bool known = ((h.kind == 'i' || h.kind == 'u') && (h.size == 1 || h.size == 2 || h.size == 4 || h.size == 8)) ||
                         (h.kind == 'b' && h.size == 1) || (h.kind == 'f' && (h.size == 4 || h.size == 8));
      if (!known) builder.refuse({}, "unsupported dtype '" + descr + "' (integers, bool, float32, float64)");
    } else if (which == 1) {
      h.fortran = in.boolean();
    } else {
      in.expect('(');
      while (!in.take(')')) {
        h.shape.push_back(in.integer());
        if (!in.take(',')) {
          in.expect(')');
          break;
        }
      }
    }
    if (!in.take(',')) {
      in.expect('}');
      break;
    }
  }
  in.end();
  if (!seen[0] || !seen[1] || !seen[2]) in.fail();
  return h;
}

// Reads every element as its own type, widened and checked as a count, and hands them on: rows
// in order for a C-ordered array, entries for a Fortran-ordered one (its columns come first).
template <typename element>
void read_elements(input_bytes& in, const npy_header& h, std::size_t n, count_matrix_builder& builder) {
  const bool swap = (h.byte_order == '<') != host_is_little_endian && h.byte_order != '|';
  // A piece at a time, so that memory grows only with what arrives: a pipe's header may lie.
  constexpr std::size_t piece_elements = 1 << 16;
  std::vector<element> piece(std::min(n, piece_elements));
  std::vector<std::int32_t> row;
  for (std::size_t line = 0; line < n; ++line) {
    row.clear();
    for (std::size_t i = 0; i < n; ++i) {
      if (i % piece_elements == 0) {
        in.read_exact(piece.data(), std::min(piece_elements, n - i) * sizeof(element),
                      "file is shorter than its shape says");
      }
      element value = piece[i % piece_elements];
      if constexpr (sizeof(element) > 1) {
        if (swap) {
          auto bytes = std::bit_cast<std::array<unsigned char, sizeof(element)>>(value);
          std::reverse(bytes.begin(), bytes.end());
          value = std::bit_cast<element>(bytes);
        }
      }
      const std::int64_t r = h.fortran ? static_cast<std::int64_t>(i) : static_cast<std::int64_t>(line);
      const std::int64_t k = h.fortran ? static_cast<std::int64_t>(line) : static_cast<std::int64_t>(i);
      const source_place where = source_place::element(r, k);
      std::int32_t count;
      if (h.kind == 'b') {
        count = value != 0 ? 1 : 0;  // NumPy reads any non-zero byte as True
      } else if constexpr (std::is_floating_point_v<element>) {
        count = builder.count_of(static_cast<double>(value), where);
      } else if constexpr (std::is_signed_v<element>) {
        count = builder.count_of(static_cast<std::int64_t>(value), where);
      } else {
        count = builder.count_of(static_cast<std::uint64_t>(value), where);
      }
      if (h.fortran) {
        builder.add(r, k, count);
      } else {
        row.push_back(count);
      }
    }
    if (!h.fortran) builder.add_row(row);
  }
}

}  // namespace

void read_npy(input_bytes& in, count_matrix_builder& builder) {
  std::array<unsigned char, 8> start;
  if (in.read(start.data(), start.size()) != start.size() || std::memcmp(start.data(), "\x93NUMPY", 6) != 0) {
    builder.refuse({}, "not a .npy file (no \\x93NUMPY magic)");
  }
  const int major = start[6], minor = start[7];
  if ((major != 1 && major != 2 && major != 3) || minor != 0) {
    builder.refuse({}, ".npy format version " + std::to_string(major) + "." + std::to_string(minor) +
                           " is not 1.0, 2.0 or 3.0");
  }
  unsigned char length_bytes[4] = {};
  in.read_exact(length_bytes, major == 1 ? 2 : 4, "file ends in the .npy header");
  const std::uint64_t header_length = length_bytes[0] | length_bytes[1] << 8 |
                                      std::uint64_t{length_bytes[2]} << 16 | std::uint64_t{length_bytes[3]} << 24;
  // Checked against what the file holds, and bounded, before anything is sized by it.
  constexpr std::uint64_t most_header = 1 << 20;
  if (const auto left = in.remaining(); (left && *left < header_length) || header_length > most_header) {
    builder.refuse({}, "the .npy header length (" + std::to_string(header_length) +
                           " bytes) is more than the file holds");
  }
  std::string header(header_length, '\0');
  in.read_exact(header.data(), header.size(), "file ends in the .npy header");
  while (!header.empty() && (header.back() == '\n' || header.back() == ' ')) header.pop_back();
  const npy_header h = parse_header(header, builder);
  if (h.shape.size() != 2) builder.refuse({}, "the array is not 2-D (" + std::to_string(h.shape.size()) + " dimensions)");
  const std::int64_t rows = h.shape[0], columns = h.shape[1];
  const source_place none;
  if (h.fortran) {
    builder.start_entries(std::pair{rows, columns}, none);
  } else {
    builder.start_rows(rows, columns, none);
  }
  const auto n = static_cast<std::uint64_t>(rows);
  if (const auto left = in.remaining(); left && *left / static_cast<std::uint64_t>(h.size) / std::max<std::uint64_t>(n, 1) < n) {
    builder.refuse({}, "file is shorter than its shape says");
  }
  switch (h.kind == 'f' ? 100 + h.size : h.kind == 'i' ? h.size : 200 + h.size) {
    case 1: read_elements<std::int8_t>(in, h, n, builder); break;
    case 2: read_elements<std::int16_t>(in, h, n, builder); break;
    case 4: read_elements<std::int32_t>(in, h, n, builder); break;
    case 8: read_elements<std::int64_t>(in, h, n, builder); break;
    case 201: read_elements<std::uint8_t>(in, h, n, builder); break;
    case 202: read_elements<std::uint16_t>(in, h, n, builder); break;
    case 204: read_elements<std::uint32_t>(in, h, n, builder); break;
    case 208: read_elements<std::uint64_t>(in, h, n, builder); break;
    case 104: read_elements<float>(in, h, n, builder); break;
    default: read_elements<double>(in, h, n, builder); break;
  }
  builder.finish({});
}

}  // namespace tornavel
