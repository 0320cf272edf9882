#include "matrix_files/order_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "matrix_files/coding.h"
#include "matrix_files/file_error.h"

namespace tornavel {

staged_file save_order_file(std::span<const std::int32_t> order, const std::string& path) {
  staged_file file(path);
  write_words(file.stream(), order);
  file.finish();
  return file;
}

staged_file save_identity_order(std::int32_t columns, const std::string& path) {
  staged_file file(path);
  std::vector<std::int32_t> piece(std::min<std::int32_t>(columns, 1 << 16));
  for (std::int32_t first = 0; first < columns; first += static_cast<std::int32_t>(piece.size())) {
    const auto size = static_cast<std::size_t>(std::min<std::int64_t>(piece.size(), columns - first));
    for (std::size_t i = 0; i < size; ++i) piece[i] = first + static_cast<std::int32_t>(i);
    write_words(file.stream(), std::span(piece).first(size));
  }
  file.finish();
  return file;
}

std::vector<std::int32_t> load_order_file(const std::string& path) {
  file_stream stream = file_stream::open(path, "rb");
  // A permutation has fewer than 2^31 entries, so no larger file is read into memory.
  constexpr std::int64_t most_bytes = std::int64_t{4} * 2147483647;
  std::vector<std::int32_t> order;
  // Only a regular file's length says what it holds (a /proc file says 0 and has bytes to read);
  // anything else is read as it arrives.
  struct stat status;
  if (fstat(fileno(stream.get()), &status) != 0) throw file_error::from_errno(path, errno);
  if (S_ISREG(status.st_mode) && status.st_size > 0) {
    const std::int64_t length = stream_length(stream);
    if (length % 4 != 0) {
      throw file_error(path, "order file is not a whole number of 4-byte entries (" +
                                 std::to_string(length) + " bytes)");
    }
    if (length > most_bytes) throw file_error(path, "order file is too long");
    order.resize(static_cast<std::size_t>(length / 4));
    read_exact(stream, order.data(), order.size() * sizeof(std::int32_t),
               "file is shorter than its length said");
  } else {
    // A pipe, a device or a /proc file: read what arrives, a piece at a time.
    std::vector<unsigned char> bytes;
    std::vector<unsigned char> piece(std::size_t{1} << 20);
    for (std::size_t got; (got = read_up_to(stream, piece.data(), piece.size())) > 0;) {
      bytes.insert(bytes.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(got));
      if (static_cast<std::int64_t>(bytes.size()) > most_bytes) {
        throw file_error(path, "order file is too long");
      }
    }
    if (bytes.size() % 4 != 0) {
      throw file_error(path, "order file is not a whole number of 4-byte entries (" +
                                 std::to_string(bytes.size()) + " bytes)");
    }
    order.resize(bytes.size() / 4);
    std::memcpy(order.data(), bytes.data(), bytes.size());
  }
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
