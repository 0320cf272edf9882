// A deliberately plain model of the ranking, written straight from its definition and sharing no
// code with the tool: a full table from 0 to the grand total, then every column walked on its own,
// top to bottom, then a stable sort (which leaves equal scores in ascending column order). It is
// slow and memory-hungry on purpose; the tests compare the tool against it.
#ifndef TORNAVEL_TESTS_PLAIN_MODEL_H_
#define TORNAVEL_TESTS_PLAIN_MODEL_H_

#include <cstdint>
#include <vector>

namespace plain {

struct matrix {
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  std::vector<std::int32_t> counts;  // row-major
};

struct ranking {
  std::vector<float> scores;        // by column
  std::vector<std::int32_t> order;  // highest score first
};

// S(to), adding log(j) for every j in (from, to] to sum = S(from).
double walk(double sum, std::int64_t from, std::int64_t to);

// Entries 0 .. last of the log-factorial table.
std::vector<float> log_factorial_table(std::int64_t last);

ranking rank(const matrix& m);

// Output count (l, k) = input count (order[l], order[k]).
std::vector<std::int32_t> reorder(const matrix& m, const std::vector<std::int32_t>& order);

}  // namespace plain

#endif  // TORNAVEL_TESTS_PLAIN_MODEL_H_
