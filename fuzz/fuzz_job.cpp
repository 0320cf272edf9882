// libFuzzer target: the whole job on arbitrary bytes as the input file. Every input must end in a
// clean refusal (file_error) or in outputs that are correct by construction: an order that is a
// permutation of the columns and a matrix file that is the input permuted by it. The input is
// read as the tool reads a regular file, by position, with the columns split between two
// threads. A crash, a hang or a sanitizer report is a bug.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "matrix_files/count_matrix_file.h"
#include "ranking/reorder.h"
#include "system/coding.h"
#include "ranking/ranking.h"
#include "job/input_rows.h"

namespace {

using namespace tornavel;

void check(bool ok) {
  if (!ok) std::abort();
}

// The bytes written to an in-memory stream by `write`.
template <typename Write>
std::vector<unsigned char> written(Write write) {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* memory = open_memstream(&data, &size);
  check(memory != nullptr);
  file_stream stream(memory, "memory");
  write(stream);
  stream.close();
  std::vector<unsigned char> out(data, data + size);
  std::free(data);
  return out;
}

// A regular file in memory holding the input, and a path that opens it.
class memory_file {
 public:
  memory_file(const std::uint8_t* data, std::size_t size) : fd_(memfd_create("input", 0)) {
    check(fd_ >= 0 && write(fd_, data, size) == static_cast<ssize_t>(size));
  }
  ~memory_file() { close(fd_); }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static worker helper;
  const memory_file file(data, size);
  std::optional<count_matrix_input> opened;
  try {
    opened.emplace(count_matrix_input::open(file.path()));
  } catch (const file_error&) {
    return 0;  // refused cleanly
  }
  count_matrix_input& input = *opened;
  // With no rows, a 12-byte file may ask for an order of 2^31 - 1 entries: correct, but too big
  // to write thousands of times a second.
  if (input.columns() > (1 << 16)) return 0;
  input_rows rows(input);
  rank_order order;
  try {
    order = rank_matrix(rows, &helper);
  } catch (const file_error&) {
    return 0;  // a negative count
  }
  check(order.size() == static_cast<std::size_t>(input.columns()));
  std::vector<bool> seen(order.size());
  for (std::int32_t column : order) {
    check(column >= 0 && static_cast<std::size_t>(column) < order.size() && !seen[column]);
    seen[column] = true;
  }
  std::vector<std::int32_t> reordered = reorder_matrix(rows, order);
  const count_matrix whole = load_count_matrix(file.path());
  // The same matrix from memory, where both threads read rows, ranks the same.
  memory_rows in_memory(static_cast<std::size_t>(whole.columns), static_cast<std::size_t>(whole.rows), whole.counts);
  check(rank_matrix(in_memory, &helper) == order);

  const std::vector<unsigned char> order_file =
      written([&](file_stream& s) { write_words(s, order); });
  const std::vector<unsigned char> frq = written([&](file_stream& s) {
    write_count_matrix_header(s, whole.columns, whole.rows);
    std::vector<std::int32_t> copy = reordered;
    write_count_rows(s, copy);
  });
  check(order_file.size() == 4 * order.size());
  check(frq.size() == 8 + 4 * whole.counts.size());
  check(std::memcmp(frq.data(), data, 8) == 0);  // the header is carried over unchanged
  const auto columns = static_cast<std::size_t>(whole.columns);
  for (std::size_t i = 0; i < reordered.size(); ++i) {
    check(reordered[i] == whole.counts[static_cast<std::size_t>(order[i / columns]) * columns + static_cast<std::size_t>(order[i % columns])]);
    check(decode_fixed32(frq.data() + 8 + 4 * i) == reordered[i]);
  }
  return 0;
}
