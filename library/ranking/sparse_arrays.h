// A sparse matrix as SciPy holds it, in CSR, CSC or COO arrays, read where it lies.
//
// The arrays come from another program and are trusted in nothing. The pointers are copied and
// checked once, before any entry is read, and only the copy is used; every index is checked
// against the side before it is used, and every value converted and checked in the copy that is
// used; flags the owner keeps about its arrays (sorted, free of repeats) are never asked, and
// repeated entries of one place add up, as SciPy's own toarray() adds them. So arrays that
// disagree with each other or with the side, or that their owner changes meanwhile, are refused
// (std::invalid_argument, value_refused) or give a ranking of contents that never were, never a
// read out of bounds.
#ifndef TORNAVEL_RANKING_SPARSE_ARRAYS_H_
#define TORNAVEL_RANKING_SPARSE_ARRAYS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ranking/interruption.h"
#include "system/large_memory.h"
#include "ranking/nonzero_source.h"
#include "ranking/typed_array.h"
#include "ranking/worker.h"

namespace tornavel {

// CSR (a row's entries together, indices naming columns) or CSC (a column's together, indices
// naming rows): line i holds entries pointers[i] .. pointers[i + 1] - 1.
struct compressed_arrays {
  std::size_t side = 0;
  typed_array pointers;  // side + 1 integers
  typed_array indices;   // int32 or int64
  typed_array values;
};

// COO: entry i is values[i] at (rows[i], columns[i]), in any order.
struct coordinate_arrays {
  std::size_t side = 0;
  typed_array rows, columns;  // int32 or int64
  typed_array values;
};

// The pointers of compressed arrays, copied and checked: side + 1 of them, rising from 0 or more
// to no more than the entries both indices and values hold. line names the lines ("row" or
// "column") for messages. Throws std::invalid_argument or type_refused.
large_vector<std::int64_t> checked_pointers(std::size_t side, const typed_array& pointers,
                                           const typed_array& indices, std::size_t values,
                                           const char* line);

// CSR as non-zero rows. Each read polls stop.
class compressed_rows final : public nonzero_source {
 public:
  explicit compressed_rows(const compressed_arrays& csr, interruption* stop = nullptr);
  // Entries of row r at starts[r] .. starts[r + 1] - 1 of columns and values, starts checked.
  compressed_rows(std::size_t side, large_vector<std::int64_t> starts, typed_array columns,
                  typed_array values, interruption* stop);

  std::size_t side() const override { return side_; }
  std::size_t rows_for(std::size_t first, std::size_t most_entries) const override;
  void read_rows(std::size_t first, std::size_t end, nonzero_block& block) const override;

 private:
  [[noreturn]] void refuse_within(std::size_t first, std::size_t end) const;

  std::size_t side_;
  large_vector<std::int64_t> starts_;
  typed_array columns_, values_;
  interruption* stop_;
};

// CSC as non-zero columns, or any run of columns laid out so: columns first_column ..
// first_column + starts.size() - 2. Each read polls stop.
class compressed_columns final : public nonzero_columns {
 public:
  explicit compressed_columns(const compressed_arrays& csc, interruption* stop = nullptr);
  compressed_columns(std::size_t side, std::size_t first_column, large_vector<std::int64_t> starts,
                     typed_array rows, typed_array values, interruption* stop);

  std::size_t side() const override { return side_; }
  std::size_t columns_for(std::size_t first, std::size_t most_entries) const override;
  void read_columns(std::size_t first, std::size_t end, column_block& block,
                    first_refusal* refusals) const override;

 private:
  std::size_t side_;
  std::size_t first_column_;
  large_vector<std::int64_t> starts_;
  typed_array rows_, values_;
  interruption* stop_;
};

// COO, read as rows where its entries come sorted by row and then column (as SciPy's tocoo() of
// a CSR matrix leaves them), as columns where they come sorted by column and then row (of a CSC
// matrix), and otherwise a band of columns at a time, its entries gathered into a buffer of
// at most band_entries (and one column, however long): each band costs a pass over the
// entries, so memory stays within that buffer (12 MiB) and a few words an item. Exactly one of
// by_rows() and by_columns() is not null.
class coordinate_source {
 public:
  // The first pass over the entries, and the gathering of each band, use helper too.
  explicit coordinate_source(const coordinate_arrays& coo, interruption* stop = nullptr, worker* helper = nullptr,
                             std::size_t band_entries = std::size_t{3} << 19);
  ~coordinate_source();
  nonzero_source* by_rows() const { return rows_.get(); }
  nonzero_columns* by_columns() const { return columns_.get(); }
  // The same, handed over: the caller may then drop it, and the memory it holds, when done.
  std::unique_ptr<nonzero_source> take_rows() { return std::move(rows_); }
  std::unique_ptr<nonzero_columns> take_columns() { return std::move(columns_); }

 private:
  std::unique_ptr<nonzero_source> rows_;
  std::unique_ptr<nonzero_columns> columns_;
};

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_SPARSE_ARRAYS_H_
