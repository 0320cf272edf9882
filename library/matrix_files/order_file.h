// The order file: the ranked column indices, highest score first.
//
// Layout: one little-endian 32-bit word per column and nothing else, so the number of entries is
// the file's length divided by 4. The entries are a permutation of 0 .. columns - 1.
#ifndef TORNAVEL_MATRIX_FILES_ORDER_FILE_H_
#define TORNAVEL_MATRIX_FILES_ORDER_FILE_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "files/staged_file.h"

namespace tornavel {

// Writes the order file destined for path and returns it finished but unpublished.
staged_file save_order_file(std::span<const std::int32_t> order, const std::string& path);

// The same for the order 0, 1, .. columns - 1, written a piece at a time: a header may name up
// to 2^31 - 1 columns of an empty matrix, whose order needs no memory to be written.
staged_file save_identity_order(std::int32_t columns, const std::string& path);

// Reads the order file at path. Throws file_error unless its length is a whole number of words
// and its entries are a permutation of 0 .. entries - 1.
std::vector<std::int32_t> load_order_file(const std::string& path);

// Whether the file at path looks like an order file given where a count-matrix file was wanted:
// its name ends in ".ord", or its words are a permutation. Never throws.
bool looks_like_order_file(const std::string& path);

}  // namespace tornavel

#endif  // TORNAVEL_MATRIX_FILES_ORDER_FILE_H_
