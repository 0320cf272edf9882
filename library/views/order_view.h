// An order file shown to people: one line a rank, with labels and scores, as a table or as
// tab-separated values, and a plot of the scores.
#ifndef TORNAVEL_VIEWS_ORDER_VIEW_H_
#define TORNAVEL_VIEWS_ORDER_VIEW_H_

#include <cstdio>
#include <optional>
#include <string>

#include "files/publication.h"

namespace tornavel {

struct order_view_request {
  std::string file;                   // the order file
  std::optional<std::string> labels;  // a labels file naming the items in file order
  std::optional<std::string> matrix;  // the count-matrix file the order was made from
  std::optional<std::string> plot;    // with matrix: an SVG plot of the scores by rank
  bool tsv = false;                   // every rank as tab-separated values, for other programs
};

// Prints the ranks to out: rank (from 1), item index, label and score where known, scores in
// nine significant digits (which give back their binary32 bits). Labels are escaped as
// printable_name escapes names, except in TSV that goes to no terminal. Writes the plot first,
// published as publishing says. Throws file_error, also for a matrix the order does not rank.
void show_order(const order_view_request& request, std::FILE* out, const publish_options& publishing);

}  // namespace tornavel

#endif  // TORNAVEL_VIEWS_ORDER_VIEW_H_
