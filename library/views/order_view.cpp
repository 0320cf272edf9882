#include "views/order_view.h"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "formats/labels_file.h"
#include "job/input_rows.h"
#include "matrix_files/count_matrix_file.h"
#include "matrix_files/order_file.h"
#include "ranking/ranking.h"
#include "views/pictures.h"
#include "views/score_plot.h"

namespace tornavel {
namespace {

// The scores of the matrix at path, which the order must rank.
column_ranks scores_ranked_by(const std::vector<std::int32_t>& order, const std::string& path) {
  count_matrix_input matrix = count_matrix_input::open(path);
  if (static_cast<std::size_t>(matrix.columns()) != order.size()) {
    throw file_error(path, "has " + std::to_string(matrix.columns()) + " columns, the order " +
                               std::to_string(order.size()));
  }
  input_rows rows(matrix);
  column_ranks scores = score_columns(rows);
  // A ranked matrix (tornavel.frq) in place of the one the order was made from gives scores
  // that do not descend along the order: shown, they would mislead.
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (compare_rank(scores[static_cast<std::size_t>(order[i - 1])], scores[static_cast<std::size_t>(order[i])]) > 0) {
      throw file_error(path, "the order does not rank this matrix: give the matrix it was made from");
    }
  }
  return scores;
}

void write_plot(const order_view_request& r, const std::vector<std::int32_t>& order, const column_ranks& scores,
                const std::vector<std::string>& labels, std::FILE* out, const publish_options& publishing) {
  refuse_shown_file(*r.plot, "plot", {r.file, r.labels, r.matrix});
  std::vector<float> ranked_scores;
  std::vector<std::string> ranked_labels;
  for (const std::int32_t item : order) {
    ranked_scores.push_back(scores[static_cast<std::size_t>(item)].score);
    if (!labels.empty()) ranked_labels.push_back(labels[static_cast<std::size_t>(item)]);
  }
  const std::string svg = score_plot_svg(ranked_scores, ranked_labels);
  write_picture(std::vector<unsigned char>(svg.begin(), svg.end()), *r.plot, out, publishing);
}

// Data for other programs: every rank under a header line.
void print_tsv(const std::vector<std::int32_t>& order, const column_ranks& scores,
               const std::vector<std::string>& labels, std::FILE* out) {
  std::fprintf(out, "rank\tcolumn\tlabel\tscore\n");
  for (std::size_t i = 0; i < order.size(); ++i) {
    const auto item = static_cast<std::size_t>(order[i]);
    std::fprintf(out, "%zu\t%zu\t%s\t", i + 1, item, labels.empty() ? "" : labels[item].c_str());
    if (!scores.empty()) std::fprintf(out, "%.9g", static_cast<double>(scores[item].score));
    std::fprintf(out, "\n");
  }
}

// Columns lined up for people, the scores on their points; no line ends in blanks.
void print_table(const std::vector<std::int32_t>& order, const column_ranks& scores,
                 const std::vector<std::string>& labels, std::FILE* out) {
  std::vector<std::string> whole(scores.size()), fraction(scores.size());
  std::size_t whole_width = scores.empty() ? 0 : 5;
  for (std::size_t k = 0; k < scores.size(); ++k) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(scores[k].score));
    const std::string t = text;
    const std::size_t point = std::min(t.find('.'), t.size());
    whole[k] = t.substr(0, point);
    fraction[k] = t.substr(point);
    whole_width = std::max(whole_width, whole[k].size());
  }
  const std::size_t rank_width = std::max<std::size_t>(4, std::to_string(order.size()).size());
  const std::size_t item_width = std::max<std::size_t>(4, std::to_string(order.empty() ? 0 : order.size() - 1).size());
  std::size_t label_width = 5;
  for (const std::string& label : labels) label_width = std::max(label_width, label.size());
  const auto line = [&](const std::string& rank, const std::string& item, const std::string& label,
                        const std::string& score_whole, const std::string& score_fraction) {
    std::string text = std::string(rank_width - rank.size(), ' ') + rank + "  " +
                       std::string(item_width - item.size(), ' ') + item;
    if (!labels.empty()) text += "  " + label + std::string(label_width - label.size(), ' ');
    if (!scores.empty()) text += "  " + std::string(whole_width - score_whole.size(), ' ') + score_whole + score_fraction;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    std::fprintf(out, "%s\n", text.c_str());
  };
  line("rank", "item", "label", "score", "");
  for (std::size_t i = 0; i < order.size(); ++i) {
    const auto item = static_cast<std::size_t>(order[i]);
    line(std::to_string(i + 1), std::to_string(item), labels.empty() ? "" : labels[item],
         scores.empty() ? "" : whole[item], scores.empty() ? "" : fraction[item]);
  }
}

}  // namespace

void show_order(const order_view_request& r, std::FILE* out, const publish_options& publishing) {
  const std::vector<std::int32_t> order = load_order_file(r.file);
  std::vector<std::string> labels;
  if (r.labels) labels = load_labels(*r.labels, order.size());
  // The TSV table is data for other programs: to a file or a pipe, labels go out as they are (a
  // labels file holds no tab or line break that could break it). On a terminal, as everywhere
  // else, they are escaped: a label's escape sequences would act on it.
  if (!r.tsv || isatty(fileno(out))) {
    for (std::string& label : labels) label = printable_name(label);
  }
  const column_ranks scores = r.matrix ? scores_ranked_by(order, *r.matrix) : column_ranks{};
  if (r.plot) write_plot(r, order, scores, labels, out, publishing);
  if (r.tsv) {
    print_tsv(order, scores, labels, out);
  } else {
    print_table(order, scores, labels, out);
  }
}

}  // namespace tornavel
