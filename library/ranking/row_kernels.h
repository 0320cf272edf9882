// The two inner loops of a run, in a portable build and, where the compiler and the CPU allow,
// an AVX2 build: the same source, compiled twice, the second time with the compiler free to use
// AVX2's wider vector instructions. Both do the same operations on each column in the same
// order (no reassociation or contraction is allowed), so they give the same bits.
#ifndef TORNAVEL_RANKING_ROW_KERNELS_H_
#define TORNAVEL_RANKING_ROW_KERNELS_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "system/word_scan.h"

namespace tornavel {

// Adds one row into the column accumulators: counts[k] += row[k] and
// logs[k] += entry(row[k]) widened to binary64. Each column receives its additions in ascending
// row order when rows are added in order, so every sum is the one a column-by-column walk
// gives, while the matrix is read in memory order instead of with a stride of a whole row.
//
// A zero count adds 0 to c and entry 0 = +0.0 to B, and B + 0.0 == B for every B >= 0, so runs
// of zeros are skipped: a sparse matrix costs little more than its non-zero counts.
template <typename Entry>
[[gnu::always_inline]] inline void add_row(const std::int32_t* row, std::size_t columns,
                                           Entry entry, std::int64_t* counts, double* logs) {
  for_each_busy_run(row, columns, [&](std::size_t first, std::size_t end) __attribute__((always_inline)) {
    for (std::size_t k = first; k < end; ++k) {
      counts[k] += row[k];
      logs[k] += static_cast<double>(entry(row[k]));
    }
  });
}

struct row_kernels {
  // add_row with entry(x) = dense[x]: every count of the row is below the table's dense end.
  void (*add_dense_row)(const std::int32_t* row, std::size_t columns, const float* dense,
                        std::int64_t* counts, double* logs);
  // to[k] = from[order[k]] for k < columns.
  void (*gather_row)(const std::int32_t* from, const std::int32_t* order, std::int32_t* to,
                     std::size_t columns);
  const char* name;
};

// The builds this CPU can run, the portable one first.
std::span<const row_kernels> available_row_kernels();

// The fastest of them, chosen once.
const row_kernels& fastest_row_kernels();

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_ROW_KERNELS_H_
