// The symmetric reordering: one permutation applied to rows and columns alike.
#ifndef TORNAVEL_RANKING_REORDER_H_
#define TORNAVEL_RANKING_REORDER_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ranking/row_source.h"

namespace tornavel {

// Output count (l, k) is input count (order[l], order[k]): output row l is input row order[l]
// with its entries taken in the order `order`, so that item order[0] becomes the first row and
// the first column. Precondition for both functions: order is a permutation of
// 0 .. columns - 1 and the source is square or empty.

// Where each column goes: position[order[k]] == k.
std::vector<std::int32_t> positions_of(std::span<const std::int32_t> order);

// Fills out with the output rows from first_row on; out holds a whole number of rows, position
// is positions_of(order). Input rows are read one at a time into row_scratch (columns words),
// with advice to the source about the rows that follow. Call source.expect_rows_out_of_order()
// first; then two threads may fill different rows at once, each with its own scratch.
void reorder_rows(row_source& source, std::span<const std::int32_t> order,
                  std::span<const std::int32_t> position, std::size_t first_row,
                  std::span<std::int32_t> out, std::span<std::int32_t> row_scratch);

// The whole output; empty when there are no rows or no columns.
std::vector<std::int32_t> reorder_matrix(row_source& source, std::span<const std::int32_t> order);

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_REORDER_H_
