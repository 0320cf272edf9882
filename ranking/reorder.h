// The symmetric reordering: one permutation applied to rows and columns alike.
#ifndef TORNAVEL_RANKING_REORDER_H_
#define TORNAVEL_RANKING_REORDER_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "matrix_files/count_matrix.h"

namespace tornavel {

// Output count (l, k) is input count (order[l], order[k]): output row l is input row order[l]
// with its entries taken in the order `order`, so that item order[0] becomes the first row and
// the first column. Precondition for both functions: order is a permutation of
// 0 .. columns - 1 and the matrix is square or empty.

// Fills out with the output rows from first_row on; out holds a whole number of rows.
void reorder_rows(const count_matrix& matrix, std::span<const std::int32_t> order,
                  std::size_t first_row, std::span<std::int32_t> out);

// The whole output; empty when rows or columns is 0.
count_vector reorder_matrix(const count_matrix& matrix, std::span<const std::int32_t> order);

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_REORDER_H_
