#include "ranking/column_scores.h"

#include <algorithm>
#include <numeric>

#include "ranking/row_kernels.h"

namespace tornavel {
namespace {

// Entries below this limit are kept densely (4 MiB at most); larger counts are rare, since at
// most grand_total / limit of them can reach it, and get an entry each.
constexpr std::int64_t dense_limit = std::int64_t{1} << 20;

}  // namespace

log_factorial_table build_log_factorial_table(const count_matrix& matrix) {
  const std::int64_t dense_end = std::min(std::int64_t{matrix.largest_count} + 1, dense_limit);
  log_factorial_table table(dense_end);
  if (matrix.largest_count >= dense_end) {
    // The large counts and the column sums are wanted in one walk: a second walk for the sums
    // would go over stretches of the running sum that the first had walked already.
    std::vector<std::int64_t> wanted;
    const auto columns = static_cast<std::size_t>(matrix.columns);
    std::vector<std::int64_t> column_totals(columns, 0);
    for (std::size_t i = 0; i < matrix.counts.size(); ++i) {
      const std::int32_t count = matrix.counts[i];
      column_totals[i % columns] += count;
      if (count >= dense_end) wanted.push_back(count);
    }
    wanted.insert(wanted.end(), column_totals.begin(), column_totals.end());
    table.add(std::move(wanted));
  }
  return table;
}

column_sums sum_columns(const count_matrix& matrix, const log_factorial_table& table) {
  const auto columns = static_cast<std::size_t>(matrix.columns);
  column_sums sums;
  sums.counts.assign(columns, 0);
  sums.logs.assign(columns, 0.0);
  const bool all_dense = matrix.largest_count < table.dense_end();
  const float* dense = table.dense_entries();
  const auto add_dense_row = fastest_row_kernels().add_dense_row;
  for (std::size_t r = 0; r < matrix.stored_rows(); ++r) {
    const std::int32_t* row = matrix.counts.data() + r * columns;
    if (all_dense) {
      add_dense_row(row, columns, dense, sums.counts.data(), sums.logs.data());
    } else {
      add_row(row, columns, [&table](std::int32_t x) { return table[x]; }, sums.counts.data(),
              sums.logs.data());
    }
  }
  sums.grand_total = std::accumulate(sums.counts.begin(), sums.counts.end(), std::int64_t{0});
  return sums;
}

std::vector<column_rank> score_columns(const column_sums& sums, log_factorial_table& table) {
  table.add(sums.counts);
  std::vector<column_rank> records(sums.counts.size());
  for (std::size_t k = 0; k < records.size(); ++k) {
    const double score = static_cast<double>(table[sums.counts[k]]) - sums.logs[k];
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
  log_factorial_table table = build_log_factorial_table(matrix);
  const column_sums sums = sum_columns(matrix, table);
  std::vector<column_rank> records = score_columns(sums, table);
  return rank_columns(records);
}

}  // namespace tornavel
