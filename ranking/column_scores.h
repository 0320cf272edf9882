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

#include "matrix_files/count_matrix.h"
#include "ranking/log_factorial.h"

namespace tornavel {

struct column_rank {
  std::int32_t column;
  float score;
};
static_assert(sizeof(column_rank) == 8);

// Column sums in 64 bits: a column may add up to far more than a count can hold.
struct column_totals {
  std::vector<std::int64_t> sums;  // one per column
  std::int64_t grand_total = 0;
  std::int64_t largest_sum = 0;
};

column_totals sum_columns(const count_matrix& matrix);

// The table with every entry that scoring the matrix looks up: each count and each column sum.
// Every count lies at or below the largest column sum, so no entry beyond it is built.
log_factorial_table build_log_factorial_table(const count_matrix& matrix,
                                              const column_totals& totals);

// One record per column, record k for column k.
std::vector<column_rank> score_columns(const count_matrix& matrix, const column_totals& totals,
                                       const log_factorial_table& table);

// Orders a before b by descending score and, between equal scores, by ascending column, so that
// every run on every platform gives the same order. Returns -1 when a goes first, 1 when b does,
// and 0 only for records of the same column.
int compare_rank(const column_rank& a, const column_rank& b);

// Sorts the records with compare_rank and returns their columns in that order.
std::vector<std::int32_t> rank_columns(std::span<column_rank> records);

// The whole ranking of a matrix: the columns, highest score first.
std::vector<std::int32_t> rank_matrix(const count_matrix& matrix);

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_COLUMN_SCORES_H_
