// The count-matrix file as an input of the converter, read a row at a time.
#include <algorithm>
#include <array>
#include <vector>

#include "formats/formats.h"
#include "matrix_files/coding.h"
#include "matrix_files/count_matrix.h"

namespace tornavel {

void read_frq(input_bytes& in, count_matrix_builder& builder) {
  std::array<unsigned char, 8> header;
  if (const std::size_t got = in.read(header.data(), header.size()); got < header.size()) {
    builder.refuse({}, "file is too short to hold a header (" + std::to_string(got) + " bytes)");
  }
  const std::int32_t columns = decode_fixed32(header.data());
  const std::int32_t rows = decode_fixed32(header.data() + 4);
  if (const std::string fault = shape_fault(columns, rows); !fault.empty()) builder.refuse({}, fault);
  // No columns or no rows: a matrix without counts, whatever the other number says.
  const std::int64_t side = columns == 0 || rows == 0 ? 0 : columns;
  if (const auto left = in.remaining(); left && *left / 4 / static_cast<std::uint64_t>(std::max<std::int64_t>(side, 1)) <
                                                  static_cast<std::uint64_t>(side)) {
    builder.refuse({}, "file is shorter than its header says");
  }
  builder.start_rows(side, side, {});
  // A row is read in pieces into a buffer that grows with what arrives: a header that lies (a few
  // bytes of gzip can declare 2^31 - 1 items) costs memory only for the counts that came.
  constexpr std::size_t piece = std::size_t{1} << 16;
  const auto n = static_cast<std::size_t>(side);
  std::vector<std::int32_t> row;
  for (std::int64_t r = 0; r < side; ++r) {
    for (std::size_t k = 0; k < n; k += piece) {
      const std::size_t count = std::min(piece, n - k);
      if (row.size() < k + count) row.resize(k + count);
      in.read_exact(row.data() + k, count * 4, "file is shorter than its header says");
    }
    swap_to_file_order(std::span(row));
    if (const std::string fault = count_fault(columns, static_cast<std::size_t>(r), row); !fault.empty()) {
      builder.refuse({}, fault);
    }
    builder.add_row(row);
  }
  builder.finish({});
}

}  // namespace tornavel
