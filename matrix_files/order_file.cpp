#include "matrix_files/order_file.h"

#include "matrix_files/coding.h"
#include "matrix_files/file_error.h"

namespace tornavel {

staged_file save_order_file(std::span<const std::int32_t> order, const std::string& path) {
  staged_file file(path);
  write_words(file.stream(), order);
  file.finish();
  return file;
}

std::vector<std::int32_t> load_order_file(const std::string& path) {
  file_stream stream = file_stream::open(path, "rb");
  const std::int64_t length = stream_length(stream);
  if (length % 4 != 0) {
    throw file_error(path, "order file is not a whole number of 4-byte entries (" +
                               std::to_string(length) + " bytes)");
  }
  // A permutation has fewer than 2^31 entries, so no larger file is read into memory.
  if (length / 4 > std::int64_t{2147483647}) throw file_error(path, "order file is too long");
  std::vector<std::int32_t> order(static_cast<std::size_t>(length / 4));
  read_exact(stream, order.data(), order.size() * sizeof(std::int32_t),
             "file is shorter than its length said");
  stream.close();
  swap_to_file_order(order);
  std::vector<bool> seen(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::int32_t entry = order[i];
    if (entry < 0 || static_cast<std::size_t>(entry) >= order.size() || seen[entry]) {
      throw file_error(path, "entry " + std::to_string(i) + " (" + std::to_string(entry) +
                                 ") is not part of a permutation of 0.." +
                                 std::to_string(static_cast<std::int64_t>(order.size()) - 1));
    }
    seen[entry] = true;
  }
  return order;
}

}  // namespace tornavel
