#include "formats/formats.h"

#include <iterator>
#include <stdexcept>
#include <vector>

namespace tornavel {
namespace {

// In the order of the enumeration, so that a format's entry is found by its value.
constexpr format_info formats[] = {
    {matrix_format::frq, "frq", true, true, false},
    {matrix_format::csv, "csv", true, true, true},
    {matrix_format::tsv, "tsv", true, true, true},
    {matrix_format::mtx, "mtx", true, true, false},
    {matrix_format::npy, "npy", true, true, false},
    {matrix_format::pairs, "pairs", true, false, true},
};
static_assert(std::size(formats) == static_cast<std::size_t>(matrix_format::pairs) + 1);

}  // namespace

const format_info& info_of(matrix_format format) { return formats[static_cast<std::size_t>(format)]; }

std::string format_names(bool writing) {
  std::vector<const char*> names;
  for (const format_info& f : formats) {
    if (writing ? f.writes : f.reads) names.push_back(f.name);
  }
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    out += i == 0 ? "" : i + 1 == names.size() ? " or " : ", ";
    out += names[i];
  }
  return out;
}

std::optional<matrix_format> format_of(const std::string& name, const std::string& path) {
  std::string wanted = name;
  if (wanted.empty()) {
    std::string file = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (file.size() > 3 && file.compare(file.size() - 3, 3, ".gz") == 0) file.resize(file.size() - 3);
    const std::size_t dot = file.rfind('.');
    if (dot == std::string::npos) return std::nullopt;
    wanted = file.substr(dot + 1);
  }
  for (const format_info& f : formats) {
    if (wanted == f.name) return f.format;
  }
  return std::nullopt;
}

void read_matrix(input_bytes& in, matrix_format format, count_matrix_builder& builder, const table_layout& layout) {
  if (format == matrix_format::frq) return read_frq(in, builder);
  if (format == matrix_format::npy) return read_npy(in, builder);
  if (format == matrix_format::csv) return read_table(in, ',', layout, builder);
  if (format == matrix_format::tsv) return read_table(in, '\t', layout, builder);
  text_lines lines(in);
  if (format == matrix_format::mtx) return read_matrix_market(lines, builder);
  return read_pairs(lines, builder);
}

std::unique_ptr<row_sink> make_writer(matrix_format format, file_stream& out, bool seekable) {
  switch (format) {
    case matrix_format::csv: return table_writer(out, ',');
    case matrix_format::tsv: return table_writer(out, '\t');
    case matrix_format::mtx: return matrix_market_writer(out);
    case matrix_format::npy: return npy_writer(out, seekable);
    case matrix_format::frq: return frq_writer(out, seekable);
    case matrix_format::pairs: break;
  }
  throw std::invalid_argument("pairs is a format for input only");
}

}  // namespace tornavel
