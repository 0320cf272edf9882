// Column scores and the ranking of columns.
//
// A column with counts x(0) .. x(rows - 1) and sum c scores ln(c!) - sum of ln(x(r)!): the log of
// its multinomial coefficient, the number of ways its c events spread over the rows as counted.
// It is 0 for a column whose counts lie in one row and grows with the sum and the evenness.
//
// The arithmetic is fixed to the bit: B = the binary32 table entries of the counts, widened and
// added in binary64 in ascending row order; score = binary32 rounding of (entry c - B).
#ifndef TORNAVEL_RANKING_COLUMN_SCORES_H_
#define TORNAVEL_RANKING_COLUMN_SCORES_H_

#include <cstdint>
#include <span>
#include <vector>

#include "system/large_memory.h"
#include "ranking/nonzero_source.h"
#include "ranking/row_source.h"
#include "ranking/worker.h"

namespace tornavel {

struct column_rank {
  std::int32_t column;
  float score;
};
static_assert(sizeof(column_rank) == 8);

// One record a column, and the columns in rank order, highest score first: held on huge pages,
// so that a million items' cost a few page faults, not thousands.
using column_ranks = large_vector<column_rank>;
using rank_order = large_vector<std::int32_t>;

// Scores every column in one pass over the rows: record k for column k, with the bits of each
// column's entries added in row order. The table entries are filled as the counts call for
// them, once each. With a helper, a source that reads_at_once() is read by both threads, each
// adding its rows into sums of its own: exact, and so in any order, while a sum of entries stays
// below 2^29, as it does in any column whose counts add up to less than 30 million (beyond,
// the pass is made again in row order, on one thread). From any other source this thread
// reads the rows in order and the threads split the columns. A failed read is thrown as it is
// met in row order.
column_ranks score_columns(row_source& rows, worker* helper = nullptr);

// The same from the non-zero counts alone, with the same bits: the zeros left out would each
// have added entry 0, +0.0, which leaves any sum of non-negative entries as it is. Both threads
// read, as above. Time follows the non-zero counts.
column_ranks score_columns(nonzero_source& source, worker* helper = nullptr);

// The same from the non-zero counts of each column whole, as CSC arrays hold them: each thread
// adds whole columns, in row order where the source says their rows do not ascend and the sum
// could round (past 2^29). A refusal is the first in row order, however the columns fell.
column_ranks score_columns(nonzero_columns& source, worker* helper = nullptr);

// The scores of columns whose sums are known: each one's count sum c and B, its entries' sum.
column_ranks scores_from_sums(std::span<const std::int64_t> counts, std::span<const double> entries);

// Orders a before b by descending score and, between equal scores, by ascending column, so that
// every run on every platform gives the same order. Returns -1 when a goes first, 1 when b does,
// and 0 only for records of the same column.
int compare_rank(const column_rank& a, const column_rank& b);

// Sorts the records with compare_rank and returns their columns in that order (a score of -0
// comes back as +0, which compares equal to it).
rank_order rank_columns(std::span<column_rank> records);

// The whole ranking: the columns, highest score first.
rank_order rank_matrix(row_source& rows, worker* helper = nullptr);
rank_order rank_matrix(nonzero_source& source, worker* helper = nullptr);
rank_order rank_matrix(nonzero_columns& source, worker* helper = nullptr);

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_COLUMN_SCORES_H_
