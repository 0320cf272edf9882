#include "ranking/log_sum.h"

#include <cmath>

namespace tornavel {

double walk_log_sum(double sum, std::int64_t from, std::int64_t to) {
  for (std::int64_t j = from + 1; j <= to; ++j) sum += std::log(static_cast<double>(j));
  return sum;
}

}  // namespace tornavel
