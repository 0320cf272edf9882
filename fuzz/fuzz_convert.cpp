// libFuzzer target: the converter's readers on arbitrary bytes. The first byte picks the format.
// Every input must end in a clean refusal (file_error) or in a square matrix of counts that
// every writer can write and the matching reader reads back unchanged. Any other exception
// escapes and ends the run as a finding.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "files/file_error.h"

namespace {

using namespace tornavel;

void check(bool ok) {
  if (!ok) std::abort();
}

// The matrix a reader gave, held whole.
struct memory_sink final : row_sink {
  void begin(std::size_t side, const std::vector<std::string>&) override {
    this->side = side;
    counts.assign(side * side, 0);
  }
  void row(std::size_t index, std::span<const std::int32_t> row) override {
    std::copy(row.begin(), row.end(), counts.begin() + static_cast<std::ptrdiff_t>(index * side));
  }
  void end(const std::vector<std::string>& given) override { labels = given; }

  std::size_t side = 0;
  std::vector<std::int32_t> counts;
  std::vector<std::string> labels;
};

// The bytes as a file that input_bytes can open by name.
class memory_file {
 public:
  memory_file(const void* data, std::size_t size) : fd_(memfd_create("fuzz", 0)) {
    check(fd_ >= 0 && write(fd_, data, size) == static_cast<ssize_t>(size));
  }
  ~memory_file() { close(fd_); }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

// Reads bytes in a format into memory; false if they are refused.
bool read_into(const void* data, std::size_t size, matrix_format format, memory_sink& sink) {
  const memory_file file(data, size);
  input_bytes in = input_bytes::open(file.path());
  count_matrix_builder builder("input", sink);
  try {
    read_matrix(in, format, builder);
  } catch (const file_error&) {
    return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  constexpr matrix_format formats[] = {matrix_format::frq, matrix_format::csv, matrix_format::tsv,
                                       matrix_format::mtx, matrix_format::npy, matrix_format::pairs};
  memory_sink m;
  if (!read_into(data + 1, size - 1, formats[data[0] % 6], m)) return 0;
  check(m.counts.size() == m.side * m.side);
  check(m.labels.empty() || m.labels.size() == m.side);
  if (m.side > 64) return 0;
  for (matrix_format out : {matrix_format::frq, matrix_format::csv, matrix_format::tsv,
                            matrix_format::mtx, matrix_format::npy}) {
    char* text = nullptr;
    std::size_t length = 0;
    {
      file_stream stream(open_memstream(&text, &length), "memory");
      const auto writer = make_writer(out, stream, false);
      const bool labelled = info_of(out).carries_labels;
      writer->begin(m.side, labelled ? m.labels : std::vector<std::string>{});
      for (std::size_t r = 0; r < m.side; ++r) {
        writer->row(r, std::span<const std::int32_t>(m.counts).subspan(r * m.side, m.side));
      }
      writer->end(labelled ? m.labels : std::vector<std::string>{});
      stream.close();
    }
    memory_sink back;
    check(read_into(text, length, out, back));
    std::free(text);
    check(back.counts == m.counts);
    if (info_of(out).carries_labels) check(back.labels == m.labels);
  }
  return 0;
}
