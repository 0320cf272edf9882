#include "model/file_size.h"

namespace tornavel {

std::optional<std::int64_t> dense_file_bytes(std::int64_t header_bytes, std::int64_t side) {
  std::int64_t square, bytes, total;
  if (side < 0 || __builtin_mul_overflow(side, side, &square) || __builtin_mul_overflow(square, std::int64_t{4}, &bytes) ||
      __builtin_add_overflow(bytes, header_bytes, &total)) {
    return std::nullopt;
  }
  return total;
}

std::string too_large_for_a_file(std::int64_t side) {
  return "a matrix of " + std::to_string(side) + " items is more counts than any file can hold (4 * " +
         std::to_string(side) + "^2 bytes pass 2^63)";
}

}  // namespace tornavel
