// The matrix view: a summary, the counts as a table, and the heatmap.
#include "tool/show_views.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "matrix_files/matrix_files.h"
#include "tool/heatmap.h"
#include "tool/labels_file.h"
#include "tool/program.h"

namespace tornavel {
namespace {

// Whether the heatmap goes to standard output: "-", or a name for the same file (/dev/stdout).
bool heatmap_is_standard_output(const std::string& name) {
  struct stat image, out;
  return name == "-" || (stat(name.c_str(), &image) == 0 && fstat(STDOUT_FILENO, &out) == 0 &&
                         image.st_dev == out.st_dev && image.st_ino == out.st_ino);
}

// The widest picture drawn: 8192 pixels a side, 200 MB of colours before they are encoded.
constexpr std::size_t most_picture_side = 8192;

void write_heatmap(const heatmap_values& values, const show_options& o, const std::vector<std::string>& labels) {
  const heatmap_style style{o.colors && *o.colors == "viridis" ? colour_map::viridis : colour_map::grey,
                            o.scale ? static_cast<std::size_t>(std::stoi(*o.scale)) : 0};
  const std::size_t side = std::max(values.width, values.height) * scale_of(values, style);
  if (side > most_picture_side) {
    throw file_error(*o.heatmap, "--scale " + *o.scale + " makes a picture of " + std::to_string(side) +
                                     " pixels a side; at most " + std::to_string(most_picture_side));
  }
  write_picture(heatmap_file(values, style, *image_format_for(*o.heatmap), labels), *o.heatmap);
}

// The matrix tornavel writes is in rank order, while labels name items in file order: say so
// when labels are applied to such a matrix without its order file.
void warn_of_ranked_matrix(const show_options& o) {
  const std::size_t slash = o.file.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : o.file.substr(0, slash + 1);
  const std::string base = o.file.substr(folder.size());
  struct stat status;
  if (o.labels && !o.order && base == matrix_file_name &&
      stat((folder + order_file_name).c_str(), &status) == 0) {
    std::fprintf(stderr,
                 "tornavel-show: note: the labels name rows and columns in file order; if %s is "
                 "in rank order, --order %s names them after the ranked items\n",
                 printable_name(o.file).c_str(), printable_name(folder + order_file_name).c_str());
  }
}

// The labels to name a matrix's rows and columns by: the labels file's, permuted by the order
// file if one is given; none without a labels file.
std::vector<std::string> matrix_labels(const show_options& o, std::size_t items) {
  std::vector<std::string> labels;
  if (!o.labels) return labels;
  labels = load_labels(*o.labels, items);
  if (!o.order) return labels;
  const std::vector<std::int32_t> order = load_order_file(*o.order);
  if (order.size() != labels.size()) {
    throw file_error(*o.order, "has " + std::to_string(order.size()) + " entries for " +
                                   std::to_string(labels.size()) + " items");
  }
  std::vector<std::string> ranked;
  for (std::int32_t item : order) ranked.push_back(labels[static_cast<std::size_t>(item)]);
  return ranked;
}

}  // namespace

void show_matrix(const show_options& o) {
  if (o.heatmap) refuse_shown_file(o, *o.heatmap, "heatmap");
  count_matrix_input matrix = count_matrix_input::open(o.file);
  warn_of_ranked_matrix(o);
  const auto columns = static_cast<std::size_t>(matrix.columns());
  const std::size_t rows = matrix.stored_rows();
  std::vector<std::string> labels =
      matrix_labels(o, std::max(columns, static_cast<std::size_t>(matrix.rows())));
  for (std::string& label : labels) label = printable_name(label);
  const bool image_alone = o.heatmap && heatmap_is_standard_output(*o.heatmap);
  if (o.heatmap && rows == 0) throw file_error(o.file, "matrix has no counts to draw");

  // One pass over the rows, a few megabytes at a time, for the summary and the heatmap.
  std::optional<heatmap_drawing> drawing;
  if (o.heatmap) drawing.emplace(columns, rows);
  std::int64_t total = 0;
  std::int32_t largest = 0;
  const std::size_t block_rows = rows == 0 ? 0 : std::max<std::size_t>(1, (std::size_t{1} << 20) / columns);
  std::vector<std::int32_t> scratch(block_rows * columns);
  for (std::size_t first = 0; first < rows; first += block_rows) {
    const std::span<const std::int32_t> block =
        matrix.read_rows(first, std::min(block_rows, rows - first), scratch);
    for (std::int32_t count : block) {
      total += count;
      largest = std::max(largest, count);
    }
    if (drawing) drawing->add_rows(block);
  }
  // The image first, so that a failure to write it prints nothing else.
  if (drawing) {
    write_heatmap(drawing->finish(), o, labels);
    if (image_alone) return;  // standard output holds the image alone
  }
  std::printf("%s: %d columns x %d rows, total %lld, largest count %d\n",
              printable_name(o.file).c_str(), matrix.columns(), matrix.rows(),
              static_cast<long long>(total), largest);
  if (rows == 0) return;

  std::size_t name_width = 1, cell_width = std::to_string(largest).size();
  for (std::size_t i = 0; i < std::max(columns, rows); ++i) {
    name_width = std::max(name_width, name_of(labels, i).size());
    if (i < columns) cell_width = std::max(cell_width, name_of(labels, i).size());
  }
  const std::size_t width = terminal_width();
  const std::size_t fit = width > name_width ? (width - name_width) / (cell_width + 1) : 0;
  const std::size_t shown_columns = std::clamp<std::size_t>(fit, 1, columns);
  const std::size_t shown_rows = std::min(rows, row_limit);

  std::printf("%*s", static_cast<int>(name_width), "");
  for (std::size_t k = 0; k < shown_columns; ++k) {
    std::printf(" %*s", static_cast<int>(cell_width), name_of(labels, k).c_str());
  }
  std::printf("\n");
  // Only the rows shown are read again, one at a time.
  matrix.expect_rows_out_of_order();
  std::vector<std::int32_t> row(columns);
  for (std::size_t r = 0; r < shown_rows; ++r) {
    const std::span<const std::int32_t> counts = matrix.read_rows(r, 1, row);
    std::printf("%-*s", static_cast<int>(name_width), name_of(labels, r).c_str());
    for (std::size_t k = 0; k < shown_columns; ++k) {
      std::printf(" %*d", static_cast<int>(cell_width), counts[k]);
    }
    std::printf("\n");
  }
  matrix.check_unchanged();
  if (shown_columns < columns || shown_rows < rows) {
    std::printf("(shown: %zu of %zu columns, %zu of %zu rows; --heatmap draws the whole matrix)\n",
                shown_columns, columns, shown_rows, rows);
  }
}

}  // namespace tornavel
