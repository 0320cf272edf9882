// The shape of a count matrix: square, of at most 2^31 - 1 items, and its counts not negative;
// each rule with the one wording every program and the Python module give it.
#ifndef TORNAVEL_MODEL_SHAPE_H_
#define TORNAVEL_MODEL_SHAPE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "model/value_rules.h"

namespace tornavel {

// The most items a count matrix has: rows and columns are indexed by 32-bit integers.
inline constexpr std::int64_t most_items = most_count;

// "matrix is not square (R rows, C columns)".
std::string not_square(std::int64_t rows, std::int64_t columns);

// "more than 2^31 - 1 items (N)".
std::string too_many_items(std::int64_t items);

// Why a shape of rows by columns cannot be a count matrix's, or "": negative, not square (where
// both are positive: a matrix without rows or without columns has no counts, whatever the other
// says), or more than most_items.
std::string shape_fault(std::int64_t rows, std::int64_t columns);

// Why these counts, whole rows of a matrix with the given number of columns starting at row
// first_row, cannot be a count matrix's (a negative count, named by its row and column), or "".
std::string negative_count_fault(std::int32_t columns, std::size_t first_row, std::span<const std::int32_t> counts);

}  // namespace tornavel

#endif  // TORNAVEL_MODEL_SHAPE_H_
