#include "ranking/log_factorial.h"

#include <cassert>
#include <cmath>

namespace tornavel {

double walk_log_sum(double sum, std::int64_t from, std::int64_t to) {
  for (std::int64_t j = from + 1; j <= to; ++j) sum += std::log(static_cast<double>(j));
  return sum;
}

log_factorial_table::log_factorial_table(std::int64_t dense_end, std::vector<std::int64_t> wanted)
    : dense_end_(std::max<std::int64_t>(dense_end, 1)) {
  dense_.resize(static_cast<std::size_t>(dense_end_));
  double sum = 0.0;
  dense_[0] = 0.0f;
  for (std::int64_t j = 1; j < dense_end_; ++j) {
    sum += std::log(static_cast<double>(j));
    dense_[static_cast<std::size_t>(j)] = static_cast<float>(sum);
  }

  std::erase_if(wanted, [this](std::int64_t j) { return j < dense_end_; });
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  sparse_index_ = std::move(wanted);
  sparse_value_.reserve(sparse_index_.size());
  std::int64_t at = dense_end_ - 1;
  for (std::int64_t j : sparse_index_) {
    sum = walk_log_sum(sum, at, j);
    at = j;
    sparse_value_.push_back(static_cast<float>(sum));
  }
}

float log_factorial_table::sparse_entry(std::int64_t j) const {
  const auto it = std::lower_bound(sparse_index_.begin(), sparse_index_.end(), j);
  assert(it != sparse_index_.end() && *it == j);
  return sparse_value_[static_cast<std::size_t>(it - sparse_index_.begin())];
}

}  // namespace tornavel
