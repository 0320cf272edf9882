#include "views/matrix_view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "formats/labels_file.h"
#include "job/ranked_labels.h"
#include "matrix_files/count_matrix_file.h"
#include "views/pictures.h"

namespace tornavel {
namespace {

// The widest picture drawn: 8192 pixels a side, 200 MB of colours before they are encoded.
constexpr std::size_t most_picture_side = 8192;

// The width of the terminal out goes to, else COLUMNS, else 80.
std::size_t terminal_width(std::FILE* out) {
  winsize size{};
  if (isatty(fileno(out)) && ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    const long width = std::strtol(columns, nullptr, 10);
    if (width > 0) return static_cast<std::size_t>(width);
  }
  return 80;
}

// An item's name: its label, or its index where there are no labels.
std::string name_of(const std::vector<std::string>& labels, std::size_t item) {
  return labels.empty() ? std::to_string(item) : labels[item];
}

// The labels to name a matrix's rows and columns by, printable: the labels file's, ranked by the
// order file if one is given; none without a labels file.
std::vector<std::string> matrix_labels(const matrix_view_request& r, std::size_t items, const publish_options& publishing) {
  std::vector<std::string> labels;
  if (!r.labels) return labels;
  labels = load_labels(*r.labels, items);
  if (r.order) {
    labels = ranked_labels(labels, *r.order);
  } else if (const std::string note = ranked_matrix_note(r.file); !note.empty() && publishing.notice) {
    publishing.notice(note);
  }
  for (std::string& label : labels) label = printable_name(label);
  return labels;
}

// What one pass over the rows finds: the summary's figures and the heatmap's values.
struct matrix_pass {
  std::int64_t total = 0;
  std::int32_t largest = 0;
  std::optional<heatmap_values> heatmap;
};

// One pass over the rows, a few megabytes at a time, for the summary and the heatmap.
// most_cells: the most cells a side of the heatmap, 0 for none.
matrix_pass read_matrix_once(count_matrix_input& matrix, std::size_t most_cells) {
  const auto columns = static_cast<std::size_t>(matrix.columns());
  const std::size_t rows = matrix.stored_rows();
  std::optional<heatmap_drawing> drawing;
  if (most_cells > 0) drawing.emplace(columns, rows, most_cells);
  matrix_pass pass;
  const std::size_t block_rows = rows == 0 ? 0 : std::max<std::size_t>(1, (std::size_t{1} << 20) / columns);
  std::vector<std::int32_t> scratch(block_rows * columns);
  for (std::size_t first = 0; first < rows; first += block_rows) {
    const std::span<const std::int32_t> block = matrix.read_rows(first, std::min(block_rows, rows - first), scratch);
    for (const std::int32_t count : block) {
      pass.total += count;
      pass.largest = std::max(pass.largest, count);
    }
    if (drawing) drawing->add_rows(block);
  }
  if (drawing) pass.heatmap = drawing->finish();
  return pass;
}

void write_heatmap(const heatmap_values& values, const matrix_view_request& r, const std::vector<std::string>& labels,
                   std::FILE* out, const publish_options& publishing) {
  const std::size_t side = std::max(values.width, values.height) * scale_of(values, r.style);
  if (side > most_picture_side) {
    throw file_error(*r.heatmap, "--scale " + std::to_string(r.style.scale) + " makes a picture of " +
                                     std::to_string(side) + " pixels a side; at most " +
                                     std::to_string(most_picture_side));
  }
  const image_format format = *image_format_for(*r.heatmap);
  // A PNG or PGM image holds no text: labels given for one are not drawn, and the user is told.
  if (!labels.empty() && format != image_format::svg && publishing.notice) {
    publishing.notice(printable_name(*r.heatmap) +
                      ": labels are drawn only in an SVG heatmap (a name ending in .svg)");
  }
  write_picture(heatmap_file(values, r.style, format, labels), *r.heatmap, out, publishing);
}

// The first rows and columns that fit the terminal, each column as wide as its own name and
// counts: the shown rows are read again first, and only as many columns as could fit are kept.
void print_table(count_matrix_input& matrix, const std::vector<std::string>& labels, std::FILE* out) {
  const auto columns = static_cast<std::size_t>(matrix.columns());
  const std::size_t shown_rows = std::min(matrix.stored_rows(), row_limit);
  const std::size_t width = terminal_width(out);
  const std::size_t candidates = std::min(columns, std::max<std::size_t>(width / 2, 1));
  std::vector<std::vector<std::int32_t>> rows(shown_rows);
  std::vector<std::int32_t> row(columns);
  std::size_t name_width = 1;
  matrix.expect_rows_out_of_order();
  for (std::size_t r = 0; r < shown_rows; ++r) {
    const std::span<const std::int32_t> counts = matrix.read_rows(r, 1, row);
    rows[r].assign(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(candidates));
    name_width = std::max(name_width, name_of(labels, r).size());
  }
  std::vector<std::size_t> cell_widths;
  for (std::size_t k = 0, used = name_width; k < candidates; ++k) {
    std::size_t cell = name_of(labels, k).size();
    for (const std::vector<std::int32_t>& counts : rows) cell = std::max(cell, std::to_string(counts[k]).size());
    if (k > 0 && used + 1 + cell > width) break;  // at least one column, however narrow the terminal
    used += 1 + cell;
    cell_widths.push_back(cell);
  }
  std::fprintf(out, "%*s", static_cast<int>(name_width), "");
  for (std::size_t k = 0; k < cell_widths.size(); ++k) {
    std::fprintf(out, " %*s", static_cast<int>(cell_widths[k]), name_of(labels, k).c_str());
  }
  std::fprintf(out, "\n");
  for (std::size_t r = 0; r < shown_rows; ++r) {
    std::fprintf(out, "%-*s", static_cast<int>(name_width), name_of(labels, r).c_str());
    for (std::size_t k = 0; k < cell_widths.size(); ++k) {
      std::fprintf(out, " %*d", static_cast<int>(cell_widths[k]), rows[r][k]);
    }
    std::fprintf(out, "\n");
  }
  if (cell_widths.size() < columns || shown_rows < matrix.stored_rows()) {
    std::fprintf(out, "(shown: %zu of %zu columns, %zu of %zu rows; --heatmap draws the whole matrix)\n",
                 cell_widths.size(), columns, shown_rows, matrix.stored_rows());
  }
}

}  // namespace

void show_matrix(const matrix_view_request& r, std::FILE* out, const publish_options& publishing) {
  if (r.heatmap) refuse_shown_file(*r.heatmap, "heatmap", {r.file, r.labels, r.order});
  count_matrix_input matrix = count_matrix_input::open(r.file);
  const std::vector<std::string> labels =
      matrix_labels(r, static_cast<std::size_t>(std::max(matrix.columns(), matrix.rows())), publishing);
  if (r.heatmap && matrix.stored_rows() == 0) throw file_error(r.file, "matrix has no counts to draw");
  const bool picture_alone = r.heatmap && picture_goes_to(*r.heatmap, out);  // before it is written
  // A labelled SVG names each of up to 2048 items (a vector picture of 24576 units a side, whose
  // names can be read where it is zoomed); other pictures draw blocks past 1024.
  const bool named_svg = r.heatmap && !labels.empty() && image_format_for(*r.heatmap) == image_format::svg;
  const matrix_pass pass = read_matrix_once(matrix, !r.heatmap ? 0 : named_svg ? 2048 : 1024);
  // The picture first, so that a failure to write it prints nothing else.
  if (pass.heatmap) {
    write_heatmap(*pass.heatmap, r, labels, out, publishing);
    if (picture_alone) return;  // standard output holds the picture alone
  }
  std::fprintf(out, "%s: %d columns x %d rows, total %lld, largest count %d\n", printable_name(r.file).c_str(),
               matrix.columns(), matrix.rows(), static_cast<long long>(pass.total), pass.largest);
  if (matrix.stored_rows() == 0) return;
  print_table(matrix, labels, out);
  matrix.check_unchanged();
}

}  // namespace tornavel
