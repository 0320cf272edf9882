// The viewer's views, and what they share: its options, the terminal, and how pictures are
// written.
#ifndef TORNAVEL_TOOL_SHOW_VIEWS_H_
#define TORNAVEL_TOOL_SHOW_VIEWS_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tool/heatmap.h"

namespace tornavel {

// Rows of a matrix shown on the terminal, at most.
inline constexpr std::size_t row_limit = 60;

// The viewer's command line, read and checked.
struct show_options {
  std::string kind;  // "matrix" or "order"
  std::string file;
  std::optional<std::string> labels, heatmap, matrix, order, colors, scale, plot;
  bool tsv = false;
};

// The heatmap's format, from its name; a device or FIFO without a telling name gets PGM.
std::optional<image_format> image_format_for(const std::string& name);

// The width of the terminal standard output goes to, else COLUMNS, else 80.
std::size_t terminal_width();

// An item's name: its label, or its index where there are no labels.
std::string name_of(const std::vector<std::string>& labels, std::size_t item);

// Refuses a picture's name (what: "heatmap", "plot") that is one of the files being shown:
// writing it would replace them.
void refuse_shown_file(const show_options& o, const std::string& picture, const char* what);

// Writes a picture's bytes to standard output for "-", into a device or FIFO as it stands, and
// otherwise as a staged file, so that a failure leaves no half-written picture.
void write_picture(const std::vector<unsigned char>& bytes, const std::string& name);

// The views: a matrix (its summary, table and heatmap), and an order (its ranks, scores, plot).
void show_matrix(const show_options& o);
void show_order(const show_options& o);

}  // namespace tornavel

#endif  // TORNAVEL_TOOL_SHOW_VIEWS_H_
