// A ranking in pieces: what each block of rows contributes to every column, merged in any
// order, then scored. For data spread over many processes or machines (a chunked array), each
// of which sees only some rows of some columns.
//
// A column's score needs its count sum c and B, the sum of its counts' table entries added in
// ascending row order (column_scores.h). Count sums add exactly in any order. Every table entry
// is 0 or a binary32 value of at least ln 2 > 1/2, so a multiple of 2^-24, and binary64 holds
// every multiple of 2^-24 below 2^29 exactly; each partial sum of non-negative entries is at most
// the whole. So where a column's whole B is below 2^29, its blocks' partial sums, added in any
// order, give the row-order sum to the bit. Only a column whose merged B reaches 2^29 needs its
// entries added in row order: continue_in_row_order, over the blocks in row order, carrying
// the running sum from block to block. Table entries do not depend on the other blocks, so
// each block makes the entries it needs.
#ifndef TORNAVEL_RANKING_COLUMN_PARTIALS_H_
#define TORNAVEL_RANKING_COLUMN_PARTIALS_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ranking/column_scores.h"

namespace tornavel {

struct column_partials {
  std::vector<std::int64_t> counts;  // each column's count sum over the block's rows
  std::vector<double> entries;       // each column's table entries over them, in row order
};

// Rows of a block, row-major, of `columns` counts each; they are copied a piece at a time
// before they are used, and a negative one is refused (std::invalid_argument), so a block in a
// file another process rewrites cannot be read out of bounds.
struct dense_block {
  std::span<const std::int32_t> counts;
  std::size_t columns = 0;
};

// A block's non-zero counts by row (CSR): row i's entries at starts[i] .. starts[i + 1] - 1,
// columns[j] < width distinct within a row, values[j] checked counts.
struct sparse_block {
  std::span<const std::int64_t> starts;
  std::span<const std::int32_t> columns;
  std::span<const std::int32_t> values;
  std::size_t width = 0;
};

column_partials partials_of(const dense_block& block);
column_partials partials_of(const sparse_block& block);

// Adds part into whole, column by column. Precondition: both have as many columns.
void merge_partials(column_partials& whole, const column_partials& part);

// Whether a merged sum of entries is exact whatever the order its parts were added in.
inline bool exact_in_any_order(double entries) { return entries < 536870912.0; }  // 2^29

// For each listed column (ascending, distinct), adds its entries in the block's rows to
// running[i], one at a time in row order: called on every block in row order, from running
// sums of 0, it gives the row-order sums of those columns.
void continue_in_row_order(const dense_block& block, std::span<const std::int32_t> listed,
                           std::span<double> running);
void continue_in_row_order(const sparse_block& block, std::span<const std::int32_t> listed,
                           std::span<double> running);

// The columns' scores from their merged sums (entries made row-order where they were not exact).
column_ranks scores_of(const column_partials& whole);

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_COLUMN_PARTIALS_H_
