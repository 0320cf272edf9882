#include "ranking/log_sum.h"

#include <algorithm>
#include <cmath>

namespace tornavel {
namespace {

// Below this the sum's unit in the last place is too fine for runs to be worth finding.
constexpr double run_threshold = 0x1p30;

double log_of(std::int64_t j) { return std::log(static_cast<double>(j)); }

// How many units of the sum's last place one step adds over a whole run, and how far the run
// goes, or nothing (steps == 0) where the next step must be taken on its own.
struct run {
  std::int64_t steps;
  std::int64_t units_per_step;
};

// Once S >= 2^30, its ulp u = 2^(e - 52) is far coarser than that of any log(j) (at most
// 2^-47 for j < 2^63), so S + log(j) rounds to S + k * u with k = log(j) / u rounded to the
// nearest integer, while the result stays in S's binade. k changes only where log(j) / u passes
// a half, so it holds over long runs of j, and n steps of a run add exactly n * k * u.
//
// The run is accepted only if log(j + 1) / u and log(j + n) / u both lie more than a few of
// log's own ulps inside the same half-open interval (k - 1/2, k + 1/2): log errs by less than
// an ulp from the true, increasing logarithm, so every log in between lies inside it too, and
// none is a tie. exp only guesses where the run ends; log decides.
run find_run(double sum, std::int64_t j, std::int64_t to) {
  const int e = std::ilogb(sum);
  const double u = std::ldexp(1.0, e - 52);
  const auto margin = [&](double x) { return std::ldexp(4.0, std::ilogb(x) - e); };  // 4 ulp(x)/u
  // x / u is exact: a division by a power of two.
  const auto offset = [&](double x, double k) { return x / u - k; };  // both exact
  const double first = log_of(j + 1);
  const double q = first / u;
  const double k = std::floor(q + 0.5);
  if (std::fabs(offset(first, k)) > 0.5 - margin(first)) return {0, 0};

  // The binade's end: S + n * k * u must stay at or below 2^(e+1) - u. (2^(e+1) - S) / u is a
  // whole number below 2^53, and exact.
  const double room = (std::ldexp(1.0, e + 1) - sum) / u - 1.0;
  std::int64_t limit = to - j;
  if (k > 0 && room / k < static_cast<double>(limit)) limit = static_cast<std::int64_t>(room / k);
  // log(j) reaches (k + 1/2) * u near exp((k + 1/2) * u).
  const double end = std::exp((k + 0.5) * u);
  if (end < static_cast<double>(j) + static_cast<double>(limit)) {
    limit = std::max<std::int64_t>(static_cast<std::int64_t>(end) - j, 0);
  }
  for (std::int64_t n = limit; n >= 2; n /= 2) {
    const double last = log_of(j + n);
    if (std::fabs(offset(last, k)) <= 0.5 - margin(last)) {
      return {n, static_cast<std::int64_t>(k)};
    }
  }
  return {0, 0};
}

}  // namespace

double walk_log_sum_by_units(double sum, std::int64_t from, std::int64_t to) {
  for (std::int64_t j = from + 1; j <= to; ++j) sum += log_of(j);
  return sum;
}

double walk_log_sum(double sum, std::int64_t from, std::int64_t to) {
  std::int64_t j = from;
  while (j < to && sum < run_threshold) sum += log_of(++j);
  while (j < to) {
    const run r = find_run(sum, j, to);
    if (r.steps == 0) {
      sum += log_of(++j);
      continue;
    }
    // n * k * u is a multiple of u that keeps S in its binade: the addition is exact.
    sum += static_cast<double>(r.steps * r.units_per_step) * std::ldexp(1.0, std::ilogb(sum) - 52);
    j += r.steps;
  }
  return sum;
}

}  // namespace tornavel
