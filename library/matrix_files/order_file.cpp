#include "matrix_files/order_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "model/frq_header.h"
#include "model/shape.h"
#include "system/coding.h"
#include "files/file_error.h"

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

namespace {

// Why a file refused as an order file is one, or "": the words of a count-matrix file whose
// header gives the file's length.
std::string count_matrix_hint(std::span<const std::int32_t> words_in_file_order, std::int64_t length) {
  if (words_in_file_order.size() < 2) return "";
  std::array<unsigned char, 8> header;
  std::memcpy(header.data(), words_in_file_order.data(), header.size());
  std::string reason;
  const frq_shape shape = decode_frq_header(header, reason);
  if (!reason.empty() || length != static_cast<std::int64_t>(8 + 4 * shape.words())) return "";
  return " (the file looks like a count-matrix file of " + std::to_string(shape.columns) +
         " items: tornavel.ord is the order that goes with tornavel.frq)";
}

}  // namespace

bool looks_like_order_file(const std::string& path) {
  const std::string_view name(path);
  if (name.size() >= 4 && name.substr(name.size() - 4) == ".ord") return true;
  try {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > (off_t{64} << 20)) {
      return false;
    }
    return !load_order_file(path).empty();
  } catch (const std::exception&) {
    return false;
  }
}

std::vector<std::int32_t> load_order_file(const std::string& path) {
  file_stream stream = file_stream::open(path, "rb");
  // A permutation has fewer than 2^31 entries, so no larger file is read into memory.
  constexpr std::int64_t most_bytes = 4 * most_items;
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
    if (!bytes.empty()) std::memcpy(order.data(), bytes.data(), bytes.size());
  }
  stream.close();
  const std::int64_t length = static_cast<std::int64_t>(order.size()) * 4;
  const std::string hint = count_matrix_hint(order, length);
  swap_to_file_order(order);
  std::vector<bool> seen(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::int32_t entry = order[i];
    if (entry < 0 || static_cast<std::size_t>(entry) >= order.size() || seen[entry]) {
      throw file_error(path, "entry " + std::to_string(i) + " (" + std::to_string(entry) +
                                 ") is not part of a permutation of 0.." +
                                 std::to_string(static_cast<std::int64_t>(order.size()) - 1) + hint);
    }
    seen[entry] = true;
  }
  return order;
}

}  // namespace tornavel
