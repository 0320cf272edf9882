#include "ranking/log_factorial.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>

namespace tornavel {

log_factorial_table::log_factorial_table(std::int64_t dense_end,
                                         std::span<const double> checkpoints)
    : dense_end_(std::max<std::int64_t>(dense_end, 1)), checkpoints_(checkpoints) {
  dense_.resize(static_cast<std::size_t>(dense_end_));
  double sum = 0.0;
  dense_[0] = 0.0f;
  for (std::int64_t j = 1; j < dense_end_; ++j) {
    sum += std::log(static_cast<double>(j));
    dense_[static_cast<std::size_t>(j)] = static_cast<float>(sum);
    // The first checkpoint this walk passes costs nothing to check.
    if (j == log_sum_stride) check_checkpoint(1, sum);
  }
  dense_last_sum_ = sum;
}

void log_factorial_table::check_checkpoint(std::int64_t i, double walked_sum) {
  if (checkpoints_state_ != trust::unchecked) return;
  const bool matched =
      static_cast<std::size_t>(i) < checkpoints_.size() &&
      std::bit_cast<std::uint64_t>(checkpoints_[static_cast<std::size_t>(i)]) ==
          std::bit_cast<std::uint64_t>(walked_sum);
  checkpoints_state_ = matched ? trust::matched : trust::refused;
}

log_factorial_table::known_sum log_factorial_table::checkpoint_below(std::int64_t j) {
  const auto count = static_cast<std::int64_t>(checkpoints_.size());
  if (j < log_sum_stride || count < 2 || checkpoints_state_ == trust::refused) return {-1, 0.0};
  if (checkpoints_state_ == trust::unchecked) {
    // Nothing has walked past a checkpoint yet (the dense entries end below the first): walk
    // to the first one and compare, before any is relied on.
    check_checkpoint(1, walk_log_sum(dense_last_sum_, dense_end_ - 1, log_sum_stride));
    if (checkpoints_state_ == trust::refused) return {-1, 0.0};
  }
  const std::int64_t i = std::min(j / log_sum_stride, count - 1);
  return {i * log_sum_stride, checkpoints_[static_cast<std::size_t>(i)]};
}

void log_factorial_table::add(std::vector<std::int64_t> wanted) {
  std::erase_if(wanted, [this](std::int64_t j) { return j < dense_end_; });
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());

  std::vector<known_sum> added;
  known_sum from{dense_end_ - 1, dense_last_sum_};
  auto existing = sparse_.begin();
  for (std::int64_t j : wanted) {
    // Any sum already known at or below j is a closer start than the last one walked to, and
    // so is a checkpoint above it.
    for (; existing != sparse_.end() && existing->index <= j; ++existing) {
      if (existing->index > from.index) from = *existing;
    }
    if (from.index == j) continue;  // held already
    if (const known_sum checkpoint = checkpoint_below(j); checkpoint.index > from.index) {
      from = checkpoint;
    }
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
