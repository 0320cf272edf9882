#include "ranking/strided_rows.h"

#include <cstring>

namespace tornavel {
namespace {

// One row, converted in a pass the compiler can make into vector instructions where the row is
// contiguous; returns whether every value is a count.
template <typename T>
bool convert_row(const char* row, std::size_t side, std::ptrdiff_t stride, std::int32_t* out) {
  bool fault = false;
  if (stride == sizeof(T)) {
    const T* values = reinterpret_cast<const T*>(row);
    for (std::size_t k = 0; k < side; ++k) out[k] = count_or_fault(values[k], fault);
  } else {
    for (std::size_t k = 0; k < side; ++k) {
      T value;
      std::memcpy(&value, row + static_cast<std::ptrdiff_t>(k) * stride, sizeof value);
      out[k] = count_or_fault(value, fault);
    }
  }
  return !fault;
}

}  // namespace

std::span<const std::int32_t> strided_rows::read_rows(std::size_t first, std::size_t count,
                                                      std::span<std::int32_t> scratch) {
  poll(stop_);
  const std::size_t side = array_.side;
  with_element_type(array_.type, [&](auto sample) {
    using T = decltype(sample);
    for (std::size_t r = first; r < first + count; ++r) {
      const char* row = array_.data + static_cast<std::ptrdiff_t>(r) * array_.row_stride;
      std::int32_t* out = scratch.data() + (r - first) * side;
      if (convert_row<T>(row, side, array_.column_stride, out)) continue;
      // Again, value by value, each converted and checked from one read of it: a value its
      // owner changes meanwhile is refused as it was read or used as it was read.
      for (std::size_t k = 0; k < side; ++k) {
        T value;
        std::memcpy(&value, row + static_cast<std::ptrdiff_t>(k) * array_.column_stride, sizeof value);
        bool fault = false;
        out[k] = count_or_fault(value, fault);
        if (fault) {
          throw value_refused(static_cast<std::int64_t>(r), static_cast<std::int64_t>(k), value_fault_of(value));
        }
      }
    }
  });
  return scratch.first(count * side);
}

}  // namespace tornavel
