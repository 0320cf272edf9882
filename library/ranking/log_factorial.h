// The log-factorial table: ln(j!) for the indices a ranking looks up.
//
// Entry j is the running sum S(j) of log_sum.h rounded to binary32, not a log-gamma value, so
// every entry is bit-for-bit the same as in a table filled by one walk from 1 to j, however this
// table is built.
#ifndef TORNAVEL_RANKING_LOG_FACTORIAL_H_
#define TORNAVEL_RANKING_LOG_FACTORIAL_H_

#include <cstdint>
#include <span>
#include <vector>

#include "ranking/log_sum.h"

namespace tornavel {

// The entries below a dense limit are held in a plain array, since most counts are small; above
// it, only the entries asked for are kept, so memory follows the number of large values and not
// their size, and time follows their number too: each is walked to from the nearest checkpoint
// or known sum below it.
class log_factorial_table {
 public:
  // Holds every entry j < dense_end (at least entry 0). checkpoints[i] must be
  // S(i * log_sum_stride) for the table to use it. Before it relies on any, the table walks
  // from checkpoint to checkpoint a unit at a time at a few places spread over the range it
  // needs; if one of them does not match (a different log at run time than at build time), it
  // uses none and walks from 1, with the same result.
  explicit log_factorial_table(std::int64_t dense_end,
                               std::span<const double> checkpoints = builtin_log_sum_checkpoints());

  // Extends the dense entries to every j < dense_end, walking on from the last one held.
  void grow_dense(std::int64_t dense_end);

  // Adds the entry of each index in wanted (any order, repeats allowed, each >= 0). Each is
  // reached by walking on from the nearest index below it whose running sum is known, so every
  // stretch of the sum is walked once.
  void add(std::vector<std::int64_t> wanted);

  // Entry j. Precondition: j < dense_end() or j was added.
  float operator[](std::int64_t j) const {
    if (j < dense_end_) return dense_[static_cast<std::size_t>(j)];
    return sparse_entry(j);
  }

  std::int64_t dense_end() const { return dense_end_; }

  // The dense entries, for loops that know every index they look up is below dense_end().
  const float* dense_entries() const { return dense_.data(); }

  // Whether the checkpoints were found to match this run's walk (false until some are checked).
  bool checkpoints_trusted() const { return checked_through_ > 0 && !checkpoints_refused_; }

 private:
  struct known_sum {
    std::int64_t index;
    double sum;  // S(index), kept so that later walks can start here
  };
  float sparse_entry(std::int64_t j) const;
  // The nearest checkpoint at or below j, or nothing (index -1) if none may be used.
  // Precondition: check_checkpoints covered j.
  known_sum checkpoint_below(std::int64_t j) const;
  // Checks the checkpoints that walks up to index j may start from, unless done already.
  void check_checkpoints(std::int64_t j);

  std::int64_t dense_end_;
  std::vector<float> dense_;
  double dense_last_sum_ = 0.0;    // S(dense_end_ - 1)
  std::vector<known_sum> sparse_;  // ascending index, all >= dense_end_
  std::span<const double> checkpoints_;
  std::int64_t checked_through_ = 0;  // the last checkpoint number checks have covered
  bool checkpoints_refused_ = false;
};

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_LOG_FACTORIAL_H_
