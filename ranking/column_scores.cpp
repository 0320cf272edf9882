#include "ranking/column_scores.h"

#include <algorithm>
#include <numeric>

namespace tornavel {
namespace {

// Entries below this limit are kept densely (4 MiB at most); larger values are rare, since at most
// grand_total / limit counts can reach it, and get an entry each.
constexpr std::int64_t dense_limit = std::int64_t{1} << 20;

}  // namespace

column_totals sum_columns(const count_matrix& matrix) {
  const auto columns = static_cast<std::size_t>(matrix.columns);
  column_totals totals;
  totals.sums.assign(columns, 0);
  // Row by row, in the order the counts lie in memory; each column's sum is exact in 64 bits
  // (fewer than 2^31 counts below 2^31 each), so the order of the additions does not matter.
  for (std::size_t r = 0; r < matrix.stored_rows(); ++r) {
    const std::int32_t* row = matrix.counts.data() + r * columns;
    for (std::size_t k = 0; k < columns; ++k) totals.sums[k] += row[k];
  }
  for (std::int64_t sum : totals.sums) {
    totals.grand_total += sum;
    totals.largest_sum = std::max(totals.largest_sum, sum);
  }
  return totals;
}

log_factorial_table build_log_factorial_table(const count_matrix& matrix,
                                              const column_totals& totals) {
  const std::int64_t dense_end = std::min(totals.largest_sum + 1, dense_limit);
  std::vector<std::int64_t> wanted;
  if (totals.largest_sum >= dense_end) {
    for (std::int64_t sum : totals.sums) {
      if (sum >= dense_end) wanted.push_back(sum);
    }
    for (std::int32_t count : matrix.counts) {
      if (count >= dense_end) wanted.push_back(count);
    }
  }
  return log_factorial_table(dense_end, std::move(wanted));
}

std::vector<column_rank> score_columns(const count_matrix& matrix, const column_totals& totals,
                                       const log_factorial_table& table) {
  const auto columns = static_cast<std::size_t>(matrix.columns);
  // One sweep in memory order with an accumulator per column: each column still receives its
  // additions in ascending row order, so every sum is the one a column-by-column walk gives,
  // while the matrix is read sequentially instead of with a stride of a whole row.
  std::vector<double> logs_of_counts(columns, 0.0);
  for (std::size_t r = 0; r < matrix.stored_rows(); ++r) {
    const std::int32_t* row = matrix.counts.data() + r * columns;
    for (std::size_t k = 0; k < columns; ++k) {
      logs_of_counts[k] += static_cast<double>(table[row[k]]);
    }
  }
  std::vector<column_rank> records(columns);
  for (std::size_t k = 0; k < columns; ++k) {
    const double score = static_cast<double>(table[totals.sums[k]]) - logs_of_counts[k];
    records[k] = {static_cast<std::int32_t>(k), static_cast<float>(score)};
  }
  return records;
}

int compare_rank(const column_rank& a, const column_rank& b) {
  if (b.score > a.score) return 1;
  if (a.score > b.score) return -1;
  return (a.column > b.column) - (a.column < b.column);
}

std::vector<std::int32_t> rank_columns(std::span<column_rank> records) {
  std::sort(records.begin(), records.end(),
            [](const column_rank& a, const column_rank& b) { return compare_rank(a, b) < 0; });
  std::vector<std::int32_t> order(records.size());
  std::transform(records.begin(), records.end(), order.begin(),
                 [](const column_rank& record) { return record.column; });
  return order;
}

std::vector<std::int32_t> rank_matrix(const count_matrix& matrix) {
  if (matrix.rows == 0) {
    // Every column scores 0, so the order is the columns in ascending order. A header may ask
    // for up to 2^31 - 1 such columns in a file of 8 bytes: nothing but the order itself is
    // worth allocating for them.
    std::vector<std::int32_t> order(static_cast<std::size_t>(matrix.columns));
    std::iota(order.begin(), order.end(), 0);
    return order;
  }
  const column_totals totals = sum_columns(matrix);
  const log_factorial_table table = build_log_factorial_table(matrix, totals);
  std::vector<column_rank> records = score_columns(matrix, totals, table);
  return rank_columns(records);
}

}  // namespace tornavel
