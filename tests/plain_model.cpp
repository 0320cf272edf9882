#include "tests/plain_model.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace plain {

double walk(double sum, std::int64_t from, std::int64_t to) {
  for (std::int64_t j = from + 1; j <= to; ++j) sum = sum + std::log(static_cast<double>(j));
  return sum;
}

std::vector<float> log_factorial_table(std::int64_t last) {
  std::vector<float> table(static_cast<std::size_t>(last) + 1);
  table[0] = 0.0f;
  double sum = 0.0;
  for (std::int64_t j = 1; j <= last; ++j) {
    sum = sum + std::log(static_cast<double>(j));
    table[static_cast<std::size_t>(j)] = static_cast<float>(sum);
  }
  return table;
}

ranking rank(const matrix& m) {
  std::int64_t grand_total = 0;
  for (std::int32_t x : m.counts) grand_total += x;
  const std::vector<float> table = log_factorial_table(grand_total);

  ranking result;
  for (std::int32_t k = 0; k < m.columns; ++k) {
    std::int64_t c = 0;
    double b = 0.0;
    for (std::int32_t r = 0; r < m.rows; ++r) {
      const std::int32_t x = m.counts[static_cast<std::size_t>(r) * m.columns + k];
      c = c + x;
      b = b + static_cast<double>(table[x]);
    }
    const double score = static_cast<double>(table[c]) - b;
    result.scores.push_back(static_cast<float>(score));
  }
  result.order.resize(result.scores.size());
  std::iota(result.order.begin(), result.order.end(), 0);
  std::stable_sort(result.order.begin(), result.order.end(), [&](std::int32_t a, std::int32_t b) {
    return result.scores[a] > result.scores[b];
  });
  return result;
}

std::vector<std::int32_t> reorder(const matrix& m, const std::vector<std::int32_t>& order) {
  std::vector<std::int32_t> out;
  if (m.rows == 0 || m.columns == 0) return out;
  for (std::int32_t l = 0; l < m.rows; ++l) {
    for (std::int32_t k = 0; k < m.columns; ++k) {
      out.push_back(m.counts[static_cast<std::size_t>(order[l]) * m.columns + order[k]]);
    }
  }
  return out;
}

}  // namespace plain
