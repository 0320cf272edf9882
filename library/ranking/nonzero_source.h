// Where the ranking gets the counts of a sparse matrix: only the non-zero ones, a few rows or a
// few columns at a time, so that a matrix of a million items ranks without its square ever
// being made.
#ifndef TORNAVEL_RANKING_NONZERO_SOURCE_H_
#define TORNAVEL_RANKING_NONZERO_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tornavel {

class worker;

// The non-zero counts of some whole rows, in row order.
struct nonzero_block {
  std::vector<std::int32_t> columns;  // each < side(); within a row, distinct and in any order
  std::vector<std::int32_t> counts;   // each >= 0 (a zero adds nothing)
  std::vector<std::uint32_t> seen;    // the source's scratch, for finding repeated entries
};

// The non-zero counts of a square count matrix, by rows.
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

// The non-zero counts of some whole columns.
struct column_block {
  std::vector<std::size_t> starts;  // column j of the block holds entries starts[j] .. starts[j + 1] - 1
  std::vector<std::int32_t> rows;   // each < side(); within a column, distinct
  std::vector<std::int32_t> counts;  // each >= 0
  std::vector<char> in_row_order;    // whether column j's rows ascend
  std::vector<std::uint32_t> seen;   // the source's scratch, for finding repeated entries
};

// The lowest place in row order of a refusal, and the refusal: what a source reports so that,
// however its columns were shared between threads, the same one is named.
struct first_refusal {
  std::int64_t row = -1, column = -1;  // -1: none yet
  std::string reason;
  void offer(std::int64_t r, std::int64_t k, const std::string& why) {
    if (row < 0 || r < row || (r == row && k < column)) row = r, column = k, reason = why;
  }
};

// The non-zero counts of a square count matrix, by columns, in bands: a band's columns can be
// read only while it is loaded.
class nonzero_columns {
 public:
  virtual ~nonzero_columns() = default;
  virtual std::size_t side() const = 0;
  virtual std::size_t bands() const { return 1; }
  // Makes band's columns, first .. end - 1, readable, the earlier band's no longer; helper, if
  // not null, may share the work. Bands cover the columns in ascending order.
  virtual void load_band(std::size_t band, std::size_t& first, std::size_t& end, worker* helper) {
    (void)band;
    (void)helper;
    first = 0;
    end = side();
  }
  // The end of the columns from first on that hold about most_entries counts, within the band.
  virtual std::size_t columns_for(std::size_t first, std::size_t most_entries) const = 0;
  // Reads columns first .. end - 1 of the band loaded into block. Two threads may read different
  // columns at once, each into its own block. A refused element throws value_refused (which one,
  // of several, is not said), a malformed matrix std::invalid_argument; with refusals given,
  // value refusals are offered there instead and the read goes on.
  virtual void read_columns(std::size_t first, std::size_t end, column_block& block,
                            first_refusal* refusals = nullptr) const = 0;
  // Throws the refusal of the first element in row order that is not a count, or of the first
  // malformed part of the matrix; called once a read has thrown, on one thread, so that which one
  // is named does not depend on how the columns were shared. Returns if it finds none.
  virtual void refuse_first_in_row_order();
};

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_NONZERO_SOURCE_H_
