// A count-matrix file shown to people: a one-line summary, the counts as a table cut to the
// terminal, and a heatmap of the whole matrix.
#ifndef TORNAVEL_VIEWS_MATRIX_VIEW_H_
#define TORNAVEL_VIEWS_MATRIX_VIEW_H_

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

#include "files/publication.h"
#include "views/heatmap.h"

namespace tornavel {

// Rows of a matrix shown in the table, at most.
inline constexpr std::size_t row_limit = 60;

struct matrix_view_request {
  std::string file;                   // the count-matrix file
  std::optional<std::string> labels;  // a labels file naming its items in file order
  std::optional<std::string> order;   // with labels: the order file the matrix is ranked by
  std::optional<std::string> heatmap; // a picture's name (image_format_for tells its format)
  heatmap_style style;
};

// Prints the summary and the table to out, as wide as the terminal out goes to (else COLUMNS,
// else 80), after writing the heatmap, if asked for; a heatmap that goes to out is all it
// holds. Labels are escaped as printable_name escapes names. publishing publishes the picture,
// and its notice hears what the caller should know (labels in file order applied to a ranked
// matrix). Throws file_error.
void show_matrix(const matrix_view_request& request, std::FILE* out, const publish_options& publishing);

}  // namespace tornavel

#endif  // TORNAVEL_VIEWS_MATRIX_VIEW_H_
