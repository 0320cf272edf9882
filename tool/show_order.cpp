// The order view: the ranks, with labels and scores, as a table or TSV, and the scores' plot.
#include "tool/show_views.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "matrix_files/matrix_files.h"
#include "ranking/ranking.h"
#include "tool/input_rows.h"
#include "tool/labels_file.h"
#include "tool/score_plot.h"

namespace tornavel {

void show_order(const show_options& o) {
  const std::vector<std::int32_t> order = load_order_file(o.file);
  std::vector<std::string> labels;
  if (o.labels) labels = load_labels(*o.labels, order.size());
  // The TSV table is data for other programs: to a file or a pipe, labels go out as they are (a
  // labels file holds no tab or line break that could break it). On a terminal, as everywhere
  // else, they are escaped: a label's escape sequences would act on it.
  if (!o.tsv || isatty(STDOUT_FILENO)) {
    for (std::string& label : labels) label = printable_name(label);
  }
  column_ranks scores;
  if (o.matrix) {
    count_matrix_input matrix = count_matrix_input::open(*o.matrix);
    if (static_cast<std::size_t>(matrix.columns()) != order.size()) {
      throw file_error(*o.matrix, "has " + std::to_string(matrix.columns()) +
                                      " columns, the order " + std::to_string(order.size()));
    }
    input_rows rows(matrix);
    scores = score_columns(rows);
    // A ranked matrix (tornavel.frq) in place of the one the order was made from gives scores
    // that do not descend along the order: shown, they would mislead.
    for (std::size_t i = 1; i < order.size(); ++i) {
      if (compare_rank(scores[static_cast<std::size_t>(order[i - 1])], scores[static_cast<std::size_t>(order[i])]) > 0) {
        throw file_error(*o.matrix, "the order does not rank this matrix: give the matrix it was made from");
      }
    }
    if (o.plot) {
      refuse_shown_file(o, *o.plot, "plot");
      std::vector<float> ranked_scores;
      std::vector<std::string> ranked_labels;
      for (std::int32_t item : order) {
        ranked_scores.push_back(scores[static_cast<std::size_t>(item)].score);
        if (!labels.empty()) ranked_labels.push_back(labels[static_cast<std::size_t>(item)]);
      }
      const std::string svg = score_plot_svg(ranked_scores, ranked_labels);
      write_picture(std::vector<unsigned char>(svg.begin(), svg.end()), *o.plot);
    }
  }
  if (o.tsv) {
    // Data for other programs: every rank, the scores in nine significant digits, which give
    // back their binary32 bits.
    std::printf("rank\tcolumn\tlabel\tscore\n");
    for (std::size_t i = 0; i < order.size(); ++i) {
      const auto item = static_cast<std::size_t>(order[i]);
      std::printf("%zu\t%zu\t%s\t", i + 1, item, labels.empty() ? "" : labels[item].c_str());
      if (!scores.empty()) std::printf("%.9g", static_cast<double>(scores[item].score));
      std::printf("\n");
    }
    return;
  }
  // Scores in nine significant digits, which give back their binary32 bits, lined up on the
  // point.
  std::vector<std::string> whole(scores.size()), fraction(scores.size());
  std::size_t whole_width = 0, fraction_width = 0;
  for (std::size_t k = 0; k < scores.size(); ++k) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(scores[k].score));
    const std::string t = text;
    const std::size_t point = std::min(t.find('.'), t.size());
    whole[k] = t.substr(0, point);
    fraction[k] = t.substr(point);
    whole_width = std::max(whole_width, whole[k].size());
    fraction_width = std::max(fraction_width, fraction[k].size());
  }
  const std::size_t rank_width = std::max<std::size_t>(4, std::to_string(order.size()).size());
  const std::size_t item_width =
      std::max<std::size_t>(4, std::to_string(order.empty() ? 0 : order.size() - 1).size());
  std::size_t label_width = 5;
  for (const std::string& label : labels) label_width = std::max(label_width, label.size());
  const auto line = [&](const std::string& rank, const std::string& item, const std::string& label,
                        const std::string& score_whole, const std::string& score_fraction) {
    std::string out = std::string(rank_width - rank.size(), ' ') + rank + "  " +
                      std::string(item_width - item.size(), ' ') + item;
    if (!labels.empty()) out += "  " + label + std::string(label_width - label.size(), ' ');
    if (!scores.empty()) {
      out += "  " + std::string(whole_width - std::min(whole_width, score_whole.size()), ' ') +
             score_whole + score_fraction;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();  // no line ends in blanks
    std::printf("%s\n", out.c_str());
  };
  whole_width = std::max<std::size_t>(whole_width, scores.empty() ? 0 : 5);
  line("rank", "item", "label", "score", "");
  for (std::size_t i = 0; i < order.size(); ++i) {
    const auto item = static_cast<std::size_t>(order[i]);
    line(std::to_string(i + 1), std::to_string(item), labels.empty() ? "" : labels[item],
         scores.empty() ? "" : whole[item], scores.empty() ? "" : fraction[item]);
  }
}

}  // namespace tornavel
