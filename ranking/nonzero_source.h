// Where the ranking gets the counts of a sparse matrix: only the non-zero ones, a few rows at a
// time, in row order, so that a matrix of a million items ranks without its square ever being
// made.
#ifndef TORNAVEL_RANKING_NONZERO_SOURCE_H_
#define TORNAVEL_RANKING_NONZERO_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tornavel {

// The non-zero counts of some whole rows, in row order.
struct nonzero_block {
  std::vector<std::int32_t> columns;  // each < side(); within a row, distinct and in any order
  std::vector<std::int32_t> counts;   // each >= 0 (a zero adds nothing)
};

// The non-zero counts of a square count matrix.
class nonzero_source {
 public:
  virtual ~nonzero_source() = default;
  // The number of items: of rows and of columns alike.
  virtual std::size_t side() const = 0;
  // The end of the rows from first on that hold about most_entries counts: at least first + 1.
  virtual std::size_t rows_for(std::size_t first, std::size_t most_entries) const = 0;
  // Reads rows first .. end - 1 into block. Two threads may read different rows at once, each
  // into its own block. May throw whatever the source's reads throw.
  virtual void read_rows(std::size_t first, std::size_t end, nonzero_block& block) const = 0;
};

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_NONZERO_SOURCE_H_
