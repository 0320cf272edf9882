// libFuzzer target: the whole job on arbitrary bytes as the input file. Every input must end in a
// clean refusal (file_error) or in outputs that are correct by construction: an order that is a
// permutation of the columns and a matrix file that is the input permuted by it. A crash, a hang
// or a sanitizer report is a bug.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "matrix_files/matrix_files.h"
#include "ranking/ranking.h"

namespace {

using namespace tornavel;

// The bytes written to an in-memory stream by `write`.
template <typename Write>
std::vector<unsigned char> written(Write write) {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* memory = open_memstream(&data, &size);
  if (memory == nullptr) std::abort();
  file_stream stream(memory, "memory");
  write(stream);
  stream.close();
  std::vector<unsigned char> out(data, data + size);
  std::free(data);
  return out;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;  // fmemopen refuses an empty buffer; the loader's length check is enough
  std::vector<char> bytes(data, data + size);
  std::FILE* memory = fmemopen(bytes.data(), size, "rb");
  if (memory == nullptr) std::abort();
  file_stream input(memory, "input");

  count_matrix matrix;
  try {
    matrix = load_stream(input);
  } catch (const file_error&) {
    return 0;  // refused cleanly
  }
  input.close();
  // With no rows, a 12-byte file may ask for an order of 2^31 - 1 entries: correct, but too big
  // to write thousands of times a second.
  if (matrix.columns > (1 << 16)) return 0;
  // Past the last built-in checkpoint (2^31) the table walks the running sum one log per step,
  // and a few bytes can ask for a column sum of 2^40. Sums a little past it are fuzzed; larger
  // ones are the same code walking longer.
  std::vector<std::int64_t> column_sums(static_cast<std::size_t>(matrix.columns));
  for (std::size_t i = 0; i < matrix.counts.size(); ++i) {
    column_sums[i % column_sums.size()] += matrix.counts[i];
  }
  for (std::int64_t sum : column_sums) {
    if (sum > (std::int64_t{1} << 31) + (1 << 22)) return 0;
  }

  const std::vector<std::int32_t> order = rank_matrix(matrix);
  check(order.size() == static_cast<std::size_t>(matrix.columns));
  std::vector<bool> seen(order.size());
  for (std::int32_t column : order) {
    check(column >= 0 && static_cast<std::size_t>(column) < order.size() && !seen[column]);
    seen[column] = true;
  }
  const count_vector reordered = reorder_matrix(matrix, order);

  const std::vector<unsigned char> order_file =
      written([&](file_stream& s) { write_words(s, order); });
  const std::vector<unsigned char> frq = written(
      [&](file_stream& s) { write_count_matrix(s, matrix.columns, matrix.rows, reordered); });
  check(order_file.size() == 4 * order.size());
  check(frq.size() == 8 + 4 * matrix.counts.size());
  check(std::memcmp(frq.data(), data, 8) == 0);  // the header is carried over unchanged
  const auto columns = static_cast<std::size_t>(matrix.columns);
  for (std::size_t i = 0; i < reordered.size(); ++i) {
    check(reordered[i] == matrix.at(order[i / columns], order[i % columns]));
    check(decode_fixed32(frq.data() + 8 + 4 * i) == reordered[i]);
  }
  return 0;
}
