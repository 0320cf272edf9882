// How large a count-matrix file of a given side is, and the largest side a file can hold.
#ifndef TORNAVEL_MODEL_FILE_SIZE_H_
#define TORNAVEL_MODEL_FILE_SIZE_H_

#include <cstdint>
#include <optional>
#include <string>

namespace tornavel {

// The bytes of a file of header_bytes then side * side counts of 4 bytes, or nothing where that
// passes what a file offset can say (2^63 - 1): from 1,518,500,250 items on for a .frq file.
std::optional<std::int64_t> dense_file_bytes(std::int64_t header_bytes, std::int64_t side);

// Why no file can hold a dense matrix of side items.
std::string too_large_for_a_file(std::int64_t side);

}  // namespace tornavel

#endif  // TORNAVEL_MODEL_FILE_SIZE_H_
