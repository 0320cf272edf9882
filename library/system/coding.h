// Fixed-width little-endian coding of 32-bit words.
//
// Both file formats store every integer as four bytes, least significant first, two's
// complement. These helpers make that layout independent of the host: on a little-endian host
// the bulk conversions are no-ops and a buffer of words can be read or written as it lies.
#ifndef TORNAVEL_SYSTEM_CODING_H_
#define TORNAVEL_SYSTEM_CODING_H_

#include <bit>
#include <cstdint>
#include <span>

namespace tornavel {

inline constexpr bool host_is_little_endian = std::endian::native == std::endian::little;

// Returns the word whose four little-endian bytes start at p.
inline std::int32_t decode_fixed32(const unsigned char* p) {
  const std::uint32_t v = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                          std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
  return static_cast<std::int32_t>(v);
}

// Stores value at p as four little-endian bytes.
inline void encode_fixed32(unsigned char* p, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

// Converts words between their file layout and the host's, in place. The conversion is its own
// inverse, so the same call serves after reading and before writing.
inline void swap_to_file_order(std::span<std::int32_t> words) {
  if constexpr (!host_is_little_endian) {
    for (std::int32_t& w : words) {
      const auto v = static_cast<std::uint32_t>(w);
      w = static_cast<std::int32_t>((v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) |
                                    (v << 24));
    }
  }
}

}  // namespace tornavel

#endif  // TORNAVEL_SYSTEM_CODING_H_
