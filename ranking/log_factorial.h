// The log-factorial table: ln(j!) for the indices a ranking looks up.
//
// Entry j is defined by a running sum, not by a log-gamma function: S(0) = 0 and
// S(j) = S(j - 1) + log(j) in binary64, rounded at every step, and the entry is S(j) rounded to
// binary32. Every entry is therefore bit-for-bit the same as in a table filled by one walk from
// 1 to j, however this table is built.
#ifndef TORNAVEL_RANKING_LOG_FACTORIAL_H_
#define TORNAVEL_RANKING_LOG_FACTORIAL_H_

#include <algorithm>
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
  // Holds every entry j < dense_end, and the entry of each index in wanted (any order, repeats
  // allowed, each >= 0).
  log_factorial_table(std::int64_t dense_end, std::vector<std::int64_t> wanted);

  // Entry j. Precondition: j < dense_end() or j was among the wanted indices.
  float operator[](std::int64_t j) const {
    if (j < dense_end_) return dense_[static_cast<std::size_t>(j)];
    return sparse_entry(j);
  }

  std::int64_t dense_end() const { return dense_end_; }

 private:
  float sparse_entry(std::int64_t j) const;

  std::int64_t dense_end_;
  std::vector<float> dense_;
  std::vector<std::int64_t> sparse_index_;  // ascending, distinct, all >= dense_end_
  std::vector<float> sparse_value_;
};

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_LOG_FACTORIAL_H_
