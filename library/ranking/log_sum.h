// The running sum behind the log-factorial table: S(0) = 0, S(j) = S(j - 1) + log(j), each
// addition rounded to binary64. It depends on nothing but j and the platform's log, so its state
// at fixed indices (checkpoints) can be computed once, when the tool is built, and a walk to any
// index can start from the nearest checkpoint below it instead of from 1.
#ifndef TORNAVEL_RANKING_LOG_SUM_H_
#define TORNAVEL_RANKING_LOG_SUM_H_

#include <cfloat>
#include <cstdint>
#include <span>

namespace tornavel {

// Every binary64 operation must round to binary64 as it happens; a target that evaluates in a
// wider format (x87) would give other bits.
static_assert(FLT_EVAL_METHOD == 0, "floating point must evaluate in the precision of its type");

// Returns S(to), walking on from S(from) = sum; from <= to. Bit for bit the same as adding
// log(j) for every j in (from, to], but once S passes 2^30 whole runs of steps that add the same
// amount are taken at once, so that any index below 2^62 is reached in milliseconds.
double walk_log_sum(double sum, std::int64_t from, std::int64_t to);

// The same, one log per unit: the definition itself, for checking the checkpoints against this
// run's log.
double walk_log_sum_by_units(double sum, std::int64_t from, std::int64_t to);

// Checkpoint i holds S(i * log_sum_stride). Built-in checkpoints run from S(0) up to S(2^31).
inline constexpr std::int64_t log_sum_stride = 4096;
inline constexpr std::int64_t log_sum_checkpoint_end = std::int64_t{1} << 31;

// The checkpoints compiled into the tool, made at build time with this build's walk_log_sum.
std::span<const double> builtin_log_sum_checkpoints();

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_LOG_SUM_H_
