#include "ranking/reorder.h"

#include <algorithm>

#include "ranking/row_kernels.h"

namespace tornavel {

void reorder_rows(const count_matrix& matrix, std::span<const std::int32_t> order,
                  std::size_t first_row, std::span<std::int32_t> out) {
  const auto columns = static_cast<std::size_t>(matrix.columns);
  // Output rows in order: the writes are sequential and each row gathers from a single input
  // row, which stays in cache while it is read.
  const auto row_of = [&](std::size_t l) {
    return matrix.counts.data() + static_cast<std::size_t>(order[l]) * columns;
  };
  const auto gather_row = fastest_row_kernels().gather_row;
  const std::size_t rows = out.size() / std::max<std::size_t>(columns, 1);
  for (std::size_t i = 0; i < rows; ++i) {
    const std::size_t l = first_row + i;
    // The gather jumps about within its row, which defeats the hardware's prefetching; fetch
    // the next source row ahead, line by line, while this one is gathered.
    if (l + 1 < static_cast<std::size_t>(matrix.rows)) {
      const std::int32_t* next = row_of(l + 1);
      for (std::size_t k = 0; k < columns; k += 16) __builtin_prefetch(next + k);
    }
    const std::int32_t* from = row_of(l);
    gather_row(from, order.data(), out.data() + i * columns, columns);
  }
}

count_vector reorder_matrix(const count_matrix& matrix, std::span<const std::int32_t> order) {
  count_vector out(matrix.stored_rows() * static_cast<std::size_t>(matrix.columns));
  reorder_rows(matrix, order, 0, out);
  return out;
}

}  // namespace tornavel
