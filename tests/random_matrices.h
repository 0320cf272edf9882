// Seeded random count matrices of the shapes that stress the ranking. The generator draws from
// std::mt19937_64 directly (no std:: distributions, whose output differs between libraries), so a
// seed names the same matrix everywhere.
#ifndef TORNAVEL_TESTS_RANDOM_MATRICES_H_
#define TORNAVEL_TESTS_RANDOM_MATRICES_H_

#include <cstdint>
#include <random>
#include <string>

#include "tests/plain_model.h"

namespace testing_support {

enum class shape { uniform, sparse, heavy_tailed, tied_columns, single_entries, huge_counts,
                   no_columns, no_rows, empty, past_exact_sums };

inline const char* shape_name(shape s) {
  static const char* names[] = {"uniform",        "sparse",      "heavy_tailed",
                                "tied_columns",   "single_entries", "huge_counts",
                                "no_columns",     "no_rows",     "empty",       "past_exact_sums"};
  return names[static_cast<int>(s)];
}

// A matrix of the given shape; side is the number of items of the square shapes.
inline plain::matrix random_matrix(shape s, std::uint64_t seed, std::int32_t side) {
  std::mt19937_64 rng(seed);
  auto below = [&rng](std::uint64_t n) { return static_cast<std::int32_t>(rng() % n); };
  plain::matrix m;
  m.columns = m.rows = side;
  if (s == shape::no_columns) m.columns = 0;
  if (s == shape::no_rows) m.rows = 0;
  if (s == shape::empty) m.columns = m.rows = 0;
  m.counts.assign(static_cast<std::size_t>(m.columns) * m.rows, 0);
  const std::int32_t columns = m.columns;
  for (std::int32_t r = 0; r < m.rows; ++r) {
    for (std::int32_t k = 0; k < columns; ++k) {
      std::int32_t& x = m.counts[static_cast<std::size_t>(r) * columns + k];
      switch (s) {
        case shape::uniform: x = below(21); break;
        case shape::sparse: x = below(20) == 0 ? 1 + below(100) : 0; break;
        case shape::heavy_tailed:
          x = below(3) == 0 ? 0 : 200000 / ((r + 1) * (k + 1)) + below(3);
          break;
        case shape::tied_columns: x = 0; break;  // filled below
        case shape::single_entries: x = (r == (k * 7) % m.rows) ? 1 + below(50) : 0; break;
        case shape::huge_counts:
          // Around the table's dense limit of 2^20, and column sums well beyond it.
          x = below(12) == 0 ? 1040000 + below(1000000) : below(5);
          break;
        case shape::past_exact_sums:
          // A count near 2^31 on the diagonal and small counts around it: each column's sum of
          // entries passes 2^29, where it rounds at every addition and only row order gives
          // its bits. (The plain model cannot go this far: its table reaches the grand total.)
          x = r == k ? 2147483647 - below(1000) : below(6);
          break;
        default: break;
      }
    }
  }
  if (s == shape::tied_columns && columns > 0) {
    // A few column patterns, each repeated, some permuted over the rows: equal scores by
    // construction and near-equal ones from the changed order of summation.
    for (std::int32_t k = 0; k < columns; ++k) {
      const std::int32_t pattern = k % 3;
      for (std::int32_t r = 0; r < m.rows; ++r) {
        const std::int32_t source = (pattern == 2) ? (m.rows - 1 - r) : r;
        m.counts[static_cast<std::size_t>(r) * columns + k] =
            (pattern == 1) ? (source % 2) : (source * 3) % 7;
      }
    }
  }
  return m;
}

}  // namespace testing_support

#endif  // TORNAVEL_TESTS_RANDOM_MATRICES_H_
