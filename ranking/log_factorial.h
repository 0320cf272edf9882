// The log-factorial table: ln(j!) for the indices a ranking looks up.
//
// Entry j is defined by a running sum, not by a log-gamma function: S(0) = 0 and
// S(j) = S(j - 1) + log(j) in binary64, rounded at every step, and the entry is S(j) rounded to
// binary32. Every entry is therefore bit-for-bit the same as in a table filled by one walk from
// 1 to j, however this table is built.
#ifndef TORNAVEL_RANKING_LOG_FACTORIAL_H_
#define TORNAVEL_RANKING_LOG_FACTORIAL_H_

#include <cfloat>
#include <cstdint>
#include <vector>

namespace tornavel {

// Every binary64 operation must round to binary64 as it happens; a target that evaluates in a
// wider format (x87) would give other bits.
static_assert(FLT_EVAL_METHOD == 0, "floating point must evaluate in the precision of its type");

// Returns S(to), walking the running sum on from S(from) = sum; from <= to.
double walk_log_sum(double sum, std::int64_t from, std::int64_t to);

// The entries below a dense limit are held in a plain array, since most counts are small; above
// it, only the entries asked for are kept, so memory follows the number of large values and not
// their size.
class log_factorial_table {
 public:
  // Holds every entry j < dense_end (at least entry 0).
  explicit log_factorial_table(std::int64_t dense_end);

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

 private:
  struct known_sum {
    std::int64_t index;
    double sum;  // S(index), kept so that later walks can start here
  };

  float sparse_entry(std::int64_t j) const;

  std::int64_t dense_end_;
  std::vector<float> dense_;
  double dense_last_sum_ = 0.0;   // S(dense_end_ - 1)
  std::vector<known_sum> sparse_;  // ascending index, all >= dense_end_
};

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_LOG_FACTORIAL_H_
