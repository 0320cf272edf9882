#include "ranking/reorder.h"

namespace tornavel {

count_vector reorder_matrix(const count_matrix& matrix, std::span<const std::int32_t> order) {
  const auto columns = static_cast<std::size_t>(matrix.columns);
  const std::size_t rows = matrix.stored_rows();
  count_vector out(rows * columns);
  // Output rows in order: the writes are sequential and each gathers from a single input row.
  for (std::size_t l = 0; l < rows; ++l) {
    const std::int32_t* from = matrix.counts.data() + static_cast<std::size_t>(order[l]) * columns;
    std::int32_t* to = out.data() + l * columns;
    for (std::size_t k = 0; k < columns; ++k) to[k] = from[order[k]];
  }
  return out;
}

}  // namespace tornavel
