// The count-matrix file as an input of the converter, read a row at a time.
#include <algorithm>
#include <array>
#include <vector>

#include "formats/formats.h"
#include "system/coding.h"
#include "model/frq_header.h"
#include "model/shape.h"

namespace tornavel {

void read_frq(input_bytes& in, count_matrix_builder& builder) {
  std::array<unsigned char, frq_header_bytes> header;
  if (const std::size_t got = in.read(header.data(), header.size()); got < header.size()) {
    builder.refuse({}, "file is too short to hold a header (" + std::to_string(got) + " bytes)");
  }
  std::string reason;
  const frq_shape shape = decode_frq_header(header, reason);
  if (!reason.empty()) builder.refuse({}, reason);
  const std::int32_t columns = shape.columns;
  // No columns or no rows: a matrix without counts, whatever the other number says.
  const std::int64_t side = static_cast<std::int64_t>(shape.stored_rows());
  if (const auto left = in.remaining(); left && *left / 4 < shape.words()) {
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
    if (const std::string fault = negative_count_fault(columns, static_cast<std::size_t>(r), row); !fault.empty()) {
      builder.refuse({}, fault);
    }
    builder.add_row(row);
  }
  builder.finish({});
}

}  // namespace tornavel
