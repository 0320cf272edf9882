// The header of a count-matrix file (.frq): its first eight bytes, columns then rows, each a
// 32-bit little-endian two's complement word. The one place that writes and reads it.
#ifndef TORNAVEL_MODEL_FRQ_HEADER_H_
#define TORNAVEL_MODEL_FRQ_HEADER_H_

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace tornavel {

inline constexpr std::size_t frq_header_bytes = 8;

struct frq_shape {
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  // The rows that hold counts: none when there are no columns, however many the header names.
  std::size_t stored_rows() const { return columns == 0 || rows == 0 ? 0 : static_cast<std::size_t>(rows); }
  // The counts the file holds after its header.
  std::uint64_t words() const { return static_cast<std::uint64_t>(stored_rows()) * static_cast<std::uint64_t>(columns); }
};

std::array<unsigned char, frq_header_bytes> encode_frq_header(frq_shape shape);

// The shape a header gives, or the reason it is no count matrix's: its own fault, or what the
// file is instead where its first bytes say (NumPy, gzip, Matrix Market, text), with the way to a
// count-matrix file. Sets reason to "" when the shape is one.
frq_shape decode_frq_header(std::span<const unsigned char, frq_header_bytes> header, std::string& reason);

// What a file whose first bytes these are is, if not a count-matrix file: "file is gzip-
// compressed (...)" and the like, or "" if they say nothing.
std::string foreign_file_hint(std::span<const unsigned char> first_bytes);

}  // namespace tornavel

#endif  // TORNAVEL_MODEL_FRQ_HEADER_H_
