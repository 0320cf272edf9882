#include "ranking/log_factorial.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <iterator>

namespace tornavel {

double walk_log_sum(double sum, std::int64_t from, std::int64_t to) {
  for (std::int64_t j = from + 1; j <= to; ++j) sum += std::log(static_cast<double>(j));
  return sum;
}

log_factorial_table::log_factorial_table(std::int64_t dense_end)
    : dense_end_(std::max<std::int64_t>(dense_end, 1)) {
  dense_.resize(static_cast<std::size_t>(dense_end_));
  double sum = 0.0;
  dense_[0] = 0.0f;
  for (std::int64_t j = 1; j < dense_end_; ++j) {
    sum += std::log(static_cast<double>(j));
    dense_[static_cast<std::size_t>(j)] = static_cast<float>(sum);
  }
  dense_last_sum_ = sum;
}

void log_factorial_table::add(std::vector<std::int64_t> wanted) {
  std::erase_if(wanted, [this](std::int64_t j) { return j < dense_end_; });
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());

  std::vector<known_sum> added;
  known_sum from{dense_end_ - 1, dense_last_sum_};
  auto existing = sparse_.begin();
  for (std::int64_t j : wanted) {
    // Any sum already known at or below j is a closer start than the last one walked to.
    for (; existing != sparse_.end() && existing->index <= j; ++existing) {
      if (existing->index > from.index) from = *existing;
    }
    if (from.index == j) continue;  // held already
    from = {j, walk_log_sum(from.sum, from.index, j)};
    added.push_back(from);
  }
  const auto middle = static_cast<std::ptrdiff_t>(sparse_.size());
  sparse_.insert(sparse_.end(), added.begin(), added.end());
  std::inplace_merge(sparse_.begin(), sparse_.begin() + middle, sparse_.end(),
                     [](const known_sum& a, const known_sum& b) { return a.index < b.index; });
}

float log_factorial_table::sparse_entry(std::int64_t j) const {
  const auto it = std::lower_bound(sparse_.begin(), sparse_.end(), j,
                                   [](const known_sum& a, std::int64_t b) { return a.index < b; });
  assert(it != sparse_.end() && it->index == j);
  return static_cast<float>(it->sum);
}

}  // namespace tornavel
