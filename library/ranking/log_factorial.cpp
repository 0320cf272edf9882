#include "ranking/log_factorial.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>

namespace tornavel {
namespace {

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace

log_factorial_table::log_factorial_table(std::int64_t dense_end,
                                         std::span<const double> checkpoints)
    : dense_end_(1), dense_(1, 0.0f), checkpoints_(checkpoints) {
  grow_dense(dense_end);
}

void log_factorial_table::grow_dense(std::int64_t dense_end) {
  if (dense_end <= dense_end_) return;
  dense_.resize(static_cast<std::size_t>(dense_end));
  double sum = dense_last_sum_;
  for (std::int64_t j = dense_end_; j < dense_end; ++j) {
    sum += std::log(static_cast<double>(j));
    dense_[static_cast<std::size_t>(j)] = static_cast<float>(sum);
  }
  dense_end_ = dense_end;
  dense_last_sum_ = sum;
}

void log_factorial_table::check_checkpoints(std::int64_t j) {
  const auto count = static_cast<std::int64_t>(checkpoints_.size());
  const std::int64_t last = std::min(j / log_sum_stride, count - 1);
  if (checkpoints_refused_ || last <= checked_through_) return;
  // The first checkpoint, and a few spread over the rest of what this walk will use, each
  // walked to a unit at a time from the one before: some 4096 logs apiece, a few microseconds.
  std::vector<std::int64_t> spots;
  if (checked_through_ == 0) spots.push_back(1);
  for (std::int64_t part = 1; part <= 4; ++part) {
    const std::int64_t i = checked_through_ + (last - checked_through_) * part / 4;
    if (i > 1) spots.push_back(i);
  }
  for (std::int64_t i : spots) {
    const std::int64_t at = (i - 1) * log_sum_stride;
    const double before = i == 1 ? 0.0 : checkpoints_[static_cast<std::size_t>(i - 1)];
    if (!same_bits(walk_log_sum_by_units(before, at, at + log_sum_stride),
                   checkpoints_[static_cast<std::size_t>(i)])) {
      checkpoints_refused_ = true;
      return;
    }
  }
  checked_through_ = last;
}

log_factorial_table::known_sum log_factorial_table::checkpoint_below(std::int64_t j) const {
  const auto count = static_cast<std::int64_t>(checkpoints_.size());
  if (j < log_sum_stride || count < 2 || checkpoints_refused_) return {-1, 0.0};
  const std::int64_t i = std::min(j / log_sum_stride, count - 1);
  return {i * log_sum_stride, checkpoints_[static_cast<std::size_t>(i)]};
}

void log_factorial_table::add(std::vector<std::int64_t> wanted) {
  std::erase_if(wanted, [this](std::int64_t j) { return j < dense_end_; });
  if (wanted.empty()) return;
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  check_checkpoints(wanted.back());

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
