// The symmetric reordering: one permutation applied to rows and columns alike.
#ifndef TORNAVEL_RANKING_REORDER_H_
#define TORNAVEL_RANKING_REORDER_H_

#include <cstdint>
#include <span>

#include "matrix_files/count_matrix.h"

namespace tornavel {

// Returns the counts of matrix with output count (l, k) = input count (order[l], order[k]):
// output row l is input row order[l] with its entries taken in the order `order`, so that item
// order[0] becomes the first row and the first column. When rows or columns is 0 the result is
// empty. Precondition: order is a permutation of 0 .. columns - 1 and the matrix is square or
// empty.
count_vector reorder_matrix(const count_matrix& matrix, std::span<const std::int32_t> order);

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_REORDER_H_
