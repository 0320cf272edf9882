// libFuzzer target: tornavel-convert's readers on arbitrary bytes. The first byte picks the
// format. Every input must end in a clean refusal (file_error) or in a square matrix of counts
// that every writer can write and the matching reader reads back unchanged. Any other
// exception escapes and ends the run as a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "matrix_files/matrix_files.h"
#include "tool/convert_formats.h"

namespace {

using namespace tornavel;

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  constexpr matrix_format formats[] = {matrix_format::frq, matrix_format::csv, matrix_format::tsv,
                                       matrix_format::mtx, matrix_format::npy, matrix_format::pairs};
  const matrix_format format = formats[data[0] % 6];
  std::vector<char> bytes(data + 1, data + size);
  labelled_matrix m;
  {
    file_stream in(fmemopen(bytes.data(), bytes.size(), "rb"), "input");
    check(in.get() != nullptr);
    try {
      m = read_matrix(in, format);
    } catch (const file_error&) {
      return 0;
    }
  }
  check(m.matrix.columns == m.matrix.rows || m.matrix.counts.empty());
  check(m.matrix.counts.size() == m.matrix.stored_rows() * static_cast<std::size_t>(m.matrix.columns));
  if (m.matrix.columns > 64) return 0;
  // Labels that read as counts (items named 1, 2, 3) cannot be told from counts in a table, so
  // the round trips are of the counts alone.
  m.labels.clear();
  for (matrix_format out : {matrix_format::frq, matrix_format::csv, matrix_format::mtx,
                            matrix_format::npy}) {
    char* text = nullptr;
    std::size_t length = 0;
    {
      file_stream stream(open_memstream(&text, &length), "memory");
      write_matrix(stream, m, out);
      stream.close();
    }
    labelled_matrix back;
    if (length > 0) {  // an empty table writes nothing, which fmemopen cannot open
      file_stream in(fmemopen(text, length, "rb"), "written");
      back = read_matrix(in, out);
    }
    std::free(text);
    // A matrix without counts comes back as 0 x 0, whatever its header said.
    check(back.matrix.stored_rows() == m.matrix.stored_rows());
    check(back.matrix.counts == m.matrix.counts);
  }
  return 0;
}
