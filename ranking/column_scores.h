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

// What scoring needs of each column, gathered in one pass over the matrix.
struct column_sums {
  std::vector<std::int64_t> counts;  // c: 64-bit, since a column may add up past 2^31
  std::vector<double> logs;          // B: the table entries of the column's counts, summed
  std::int64_t grand_total = 0;
};

// The table with the entry of every count in the matrix: dense up to the largest count, or up
// to a limit above which each large count, and then each column sum, gets an entry of its own.
log_factorial_table build_log_factorial_table(const count_matrix& matrix);

// Sums every column. Precondition: table holds the entry of every count.
column_sums sum_columns(const count_matrix& matrix, const log_factorial_table& table);

// One record per column, record k for column k. Adds the entries of the column sums to table.
std::vector<column_rank> score_columns(const column_sums& sums, log_factorial_table& table);

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
