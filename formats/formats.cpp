#include "formats/formats.h"

namespace tornavel {
namespace {

constexpr format_info formats[] = {
    {matrix_format::frq, "frq", true, true, false},
    {matrix_format::csv, "csv", true, true, true},
    {matrix_format::tsv, "tsv", true, true, true},
    {matrix_format::mtx, "mtx", true, true, false},
    {matrix_format::npy, "npy", true, true, false},
    {matrix_format::pairs, "pairs", true, false, true},
};

}  // namespace

std::span<const format_info> all_formats() { return formats; }

const format_info& info_of(matrix_format format) {
  for (const format_info& f : formats) {
    if (f.format == format) return f;
  }
  return formats[0];
}

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

std::optional<matrix_format> format_named(const std::string& name) {
  for (const format_info& f : formats) {
    if (name == f.name) return f.format;
  }
  return std::nullopt;
}

std::optional<matrix_format> format_of_path(const std::string& path) {
  std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  if (name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0) name.resize(name.size() - 3);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return std::nullopt;
  return format_named(name.substr(dot + 1));
}

void read_matrix(input_bytes& in, matrix_format format, count_matrix_builder& builder) {
  if (format == matrix_format::frq) return read_frq(in, builder);
  if (format == matrix_format::npy) return read_npy(in, builder);
  text_lines lines(in);
  switch (format) {
    case matrix_format::csv: return read_table(lines, ',', builder);
    case matrix_format::tsv: return read_table(lines, '\t', builder);
    case matrix_format::mtx: return read_matrix_market(lines, builder);
    default: return read_pairs(lines, builder);
  }
}

std::unique_ptr<row_sink> make_writer(matrix_format format, file_stream& out, bool seekable) {
  switch (format) {
    case matrix_format::csv: return table_writer(out, ',');
    case matrix_format::tsv: return table_writer(out, '\t');
    case matrix_format::mtx: return matrix_market_writer(out);
    case matrix_format::npy: return npy_writer(out, seekable);
    default: return frq_writer(out, seekable);
  }
}

}  // namespace tornavel
