// The symmetric reordering: one permutation applied to rows and columns alike.
#ifndef TORNAVEL_RANKING_REORDER_H_
#define TORNAVEL_RANKING_REORDER_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ranking/interruption.h"
#include "system/large_memory.h"
#include "ranking/row_source.h"
#include "ranking/typed_array.h"
#include "ranking/worker.h"

namespace tornavel {

// Output count (l, k) is input count (order[l], order[k]): output row l is input row order[l]
// with its entries taken in the order `order`, so that item order[0] becomes the first row and
// the first column. Precondition for both functions: order is a permutation of
// 0 .. columns - 1 and the source is square or empty.

// Where each column goes: position[order[k]] == k.
std::vector<std::int32_t> positions_of(std::span<const std::int32_t> order);

// Fills out with the output rows from first_row on; out holds a whole number of rows, position
// is positions_of(order). Input rows are read one at a time into row_scratch (columns words),
// with advice to the source about the rows that follow. Call source.expect_rows_out_of_order()
// first; then two threads may fill different rows at once, each with its own scratch.
void reorder_rows(row_source& source, std::span<const std::int32_t> order,
                  std::span<const std::int32_t> position, std::size_t first_row,
                  std::span<std::int32_t> out, std::span<std::int32_t> row_scratch);

// The whole output; empty when there are no rows or no columns.
std::vector<std::int32_t> reorder_matrix(row_source& source, std::span<const std::int32_t> order);

// The order given as any array of integers (NumPy's intp, say), checked to be a permutation of
// 0 .. n - 1. Throws std::invalid_argument naming the first entry at fault, or type_refused.
large_vector<std::int32_t> permutation_of(const typed_array& order, std::size_t n);

// A square array of elements of 1, 2, 4 or 8 bytes, any type, with any strides in bytes.
struct strided_elements {
  const char* data = nullptr;
  std::size_t side = 0;
  std::ptrdiff_t row_stride = 0, column_stride = 0;
  std::size_t element_bytes = 4;
};

// Its reordering into out, side * side elements row-major: out(l, k) = in(order[l], order[k]),
// each element's bytes copied. Both threads gather rows; each polls stop between rows.
// Precondition: order is a permutation of 0 .. side - 1.
void reorder_elements(const strided_elements& in, std::span<const std::int32_t> order, void* out,
                      worker* helper, interruption* stop);

// CSR (or CSC) arrays with both axes permuted: line l of the result is line order[l], each
// index renamed to its place in the order. A line's entries keep their order, so its indices no
// longer ascend, as with SciPy's own a[o][:, o]; values are moved as bytes, whatever their type.
class compressed_reorder {
 public:
  // Checks the pointers (once, in a copy) against the side and the number of entries of
  // indices and values; indices are checked as they are renamed. line names the lines ("row"
  // for CSR) in messages. Throws std::invalid_argument.
  compressed_reorder(std::size_t side, const typed_array& pointers, const typed_array& indices,
                     const void* values, std::size_t value_count, std::size_t value_bytes,
                     std::span<const std::int32_t> order, const char* line);
  // The general form, for a block of lines of a larger matrix: `lines` lines, indices below
  // width; line l of the result is line order[l] (order a permutation of 0 .. lines - 1), and
  // each index i becomes rename[i], or stays i where rename is empty. rename (int32 or int64,
  // width of them, read where it lies while the reorder lives) need not be a permutation: each
  // name is checked to lie below width as it is used, which costs nothing a line, where checking
  // the whole renaming would cost the width for every block.
  compressed_reorder(std::size_t lines, std::size_t width, const typed_array& pointers, const typed_array& indices,
                     const void* values, std::size_t value_count, std::size_t value_bytes,
                     std::span<const std::int32_t> order, const typed_array& rename, const char* line);
  compressed_reorder(const compressed_reorder&) = delete;
  compressed_reorder& operator=(const compressed_reorder&) = delete;
  // The entries of the result.
  std::int64_t entries() const { return out_starts_.back(); }
  // Writes the result: lines + 1 pointers, entries() indices of the input's index type and
  // entries() values. An index outside 0 .. width - 1 throws std::invalid_argument naming the
  // first line, in the result's order, that holds one.
  void write(std::int64_t* pointers, void* indices, void* values, worker* helper, interruption* stop) const;

 private:
  std::size_t lines_, width_;
  const char* line_;
  large_vector<std::int64_t> starts_, out_starts_;
  typed_array indices_;
  const char* values_;
  std::size_t value_bytes_;
  large_vector<std::int32_t> order_;
  std::vector<std::int32_t> positions_;  // the square form's renaming, which rename_ then views
  typed_array rename_;
};

// The rows of a block of a larger matrix, grouped by the block of the result each goes to:
// row r, whose place in the result is to[r], goes to block b, where starts[b] <= to[r] <
// starts[b + 1], as its row to[r] - starts[b]. Within a block, rows are in the order of their
// places (those of one place in the order they came).
struct row_groups {
  large_vector<std::int32_t> order;   // the rows, block after block
  large_vector<std::int32_t> places;  // their places in their blocks, in that order
  large_vector<std::int64_t> cuts;    // block b's rows are order[cuts[b] .. cuts[b + 1] - 1]
};

// starts: 0, then the blocks' ends, none below the one before. to: int32 or int64, each below
// starts.back() and not negative. Throws std::invalid_argument naming the first place at
// fault, or type_refused.
row_groups rows_by_block(const typed_array& to, std::span<const std::int64_t> starts);

// Rows sent in pieces to one block of a larger matrix, joined in the order of their places: row
// r of a piece becomes row places[r] of the block. Every place 0 .. lines - 1 is given exactly
// once over all the pieces.
struct row_piece {
  typed_array places;    // int32 or int64, one a row of the piece
  typed_array pointers;  // as many as places and one more: row r at pointers[r] .. pointers[r + 1] - 1
  typed_array indices;   // int32 or int64, each below the width; one type in every piece
  const void* values = nullptr;  // value_count of value_bytes each
  std::size_t value_count = 0;
};

class joined_rows {
 public:
  // Checks the pieces' pointers and places (once, in copies); indices are checked as they are
  // copied. Throws std::invalid_argument, or type_refused.
  joined_rows(std::size_t lines, std::size_t width, std::vector<row_piece> pieces, std::size_t value_bytes);
  std::int64_t entries() const { return out_starts_.back(); }
  element_type index_type() const { return index_type_; }
  // Writes the block: lines + 1 pointers, entries() indices of index_type() and entries() values.
  void write(std::int64_t* pointers, void* indices, void* values, worker* helper, interruption* stop) const;

 private:
  std::size_t width_, value_bytes_;
  element_type index_type_ = element_type::i32;
  std::vector<row_piece> pieces_;
  std::vector<large_vector<std::int64_t>> starts_, places_;
  large_vector<std::int64_t> out_starts_;
};

// COO with both axes permuted: the entry at (r, k) moves to (position of r, position of k) in
// the order; entries keep their order and their values. rows_out and columns_out are of the
// input's index type. An index outside 0 .. side - 1 throws std::invalid_argument naming the
// first such entry.
void reorder_coordinates(std::size_t side, const typed_array& rows, const typed_array& columns,
                         std::span<const std::int32_t> order, void* rows_out, void* columns_out,
                         worker* helper, interruption* stop);

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_REORDER_H_
