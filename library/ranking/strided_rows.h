// A square array as NumPy holds it, read where it lies as rows of counts.
#ifndef TORNAVEL_RANKING_STRIDED_ROWS_H_
#define TORNAVEL_RANKING_STRIDED_ROWS_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "ranking/interruption.h"
#include "ranking/row_source.h"
#include "ranking/typed_array.h"

namespace tornavel {

// side x side elements of one type, with any strides in bytes (a transposed, sliced or
// Fortran-ordered array as it lies): element (r, k) at data + r * row_stride + k * column_stride.
struct strided_square {
  const char* data = nullptr;
  std::size_t side = 0;
  std::ptrdiff_t row_stride = 0, column_stride = 0;
  element_type type = element_type::i32;
};

// Its rows as counts, each block converted and checked in the scratch it is read into, so that
// what was checked is what is used, whatever the array's owner does meanwhile. A value the rules
// refuse throws value_refused naming the first such element of the block in row order. Two
// threads may read at once; each read polls stop first.
class strided_rows final : public row_source {
 public:
  explicit strided_rows(const strided_square& array, interruption* stop = nullptr)
      : array_(array), stop_(stop) {}

  std::size_t columns() const override { return array_.side; }
  std::size_t rows() const override { return array_.side; }
  bool reads_at_once() const override { return true; }
  std::span<const std::int32_t> read_rows(std::size_t first, std::size_t count,
                                          std::span<std::int32_t> scratch) override;

 private:
  strided_square array_;
  interruption* stop_;
};

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_STRIDED_ROWS_H_
