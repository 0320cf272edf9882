#include "ranking/reorder.h"

#include <algorithm>

#include "ranking/row_kernels.h"

namespace tornavel {
namespace {

// How far ahead of the row being gathered the source is told what comes: about 4 MiB of rows,
// so that a disk can read them while this one is gathered.
std::size_t lookahead_rows(std::size_t columns) {
  return std::max<std::size_t>(1, (std::size_t{1} << 20) / std::max<std::size_t>(columns, 1));
}

// Output row l from input row order[l]: to[k] = from[order[k]]. A row that is mostly zeros is
// cleared and its non-zero counts put in their places instead (position[j] is the k with
// order[k] == j): the same row, for the cost of its non-zero counts rather than of a gather.
// Whether a row is mostly zeros is judged from 64 of its counts; either way is exact.
void permute_row(const std::int32_t* from, std::span<const std::int32_t> order,
                 std::span<const std::int32_t> position, std::int32_t* to,
                 void (*gather_row)(const std::int32_t*, const std::int32_t*, std::int32_t*,
                                    std::size_t)) {
  const std::size_t columns = order.size();
  constexpr std::size_t samples = 64;
  std::size_t busy = 0;
  if (columns >= 16 * samples) {
    for (std::size_t i = 0; i < samples; ++i) busy += from[i * (columns / samples)] != 0;
  }
  if (columns < 16 * samples || busy > samples / 16) {
    gather_row(from, order.data(), to, columns);
    return;
  }
  std::fill(to, to + columns, 0);
  constexpr std::size_t run = 8;
  std::size_t k = 0;
  for (; k + run <= columns; k += run) {
    std::int32_t any = 0;
    for (std::size_t i = 0; i < run; ++i) any |= from[k + i];
    if (any == 0) continue;
    for (std::size_t i = k; i < k + run; ++i) {
      if (from[i] != 0) to[position[i]] = from[i];
    }
  }
  for (; k < columns; ++k) {
    if (from[k] != 0) to[position[k]] = from[k];
  }
}

}  // namespace

std::vector<std::int32_t> positions_of(std::span<const std::int32_t> order) {
  std::vector<std::int32_t> position(order.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    position[static_cast<std::size_t>(order[k])] = static_cast<std::int32_t>(k);
  }
  return position;
}

void reorder_rows(row_source& source, std::span<const std::int32_t> order,
                  std::span<const std::int32_t> position, std::size_t first_row,
                  std::span<std::int32_t> out, std::span<std::int32_t> row_scratch) {
  const std::size_t columns = source.columns();
  const std::size_t rows = source.rows();
  if (columns == 0) return;
  const auto gather_row = fastest_row_kernels().gather_row;
  const std::size_t ahead = lookahead_rows(columns);
  const std::size_t count = out.size() / columns;
  for (std::size_t l = first_row; l < std::min(first_row + ahead, rows); ++l) {
    source.will_need(static_cast<std::size_t>(order[l]));
  }
  for (std::size_t i = 0; i < count; ++i) {
    // Output rows in order: the writes are sequential and each row gathers from a single input
    // row, which fits in the cache while it is read.
    const std::size_t l = first_row + i;
    if (l + ahead < rows) source.will_need(static_cast<std::size_t>(order[l + ahead]));
    const std::span<const std::int32_t> from =
        source.read_rows(static_cast<std::size_t>(order[l]), 1, row_scratch);
    permute_row(from.data(), order, position, out.data() + i * columns, gather_row);
  }
}

std::vector<std::int32_t> reorder_matrix(row_source& source, std::span<const std::int32_t> order) {
  std::vector<std::int32_t> out(source.rows() * source.columns());
  std::vector<std::int32_t> row(source.columns());
  source.expect_rows_out_of_order();
  reorder_rows(source, order, positions_of(order), 0, out, row);
  return out;
}

}  // namespace tornavel
