#include "tool/show.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "matrix_files/matrix_files.h"
#include "ranking/ranking.h"
#include "tool/heatmap.h"
#include "tool/input_rows.h"
#include "tool/signals.h"

#ifndef TORNAVEL_VERSION
#define TORNAVEL_VERSION "unknown"
#endif

namespace tornavel {
namespace {

constexpr const char* usage =
    "usage: tornavel-show matrix MATRIX_FILE [--labels LABELS [--order ORDER_FILE]]\n"
    "                     [--heatmap OUT.pgm]\n"
    "       tornavel-show order ORDER_FILE [--labels LABELS] [--matrix MATRIX_FILE]\n"
    "       tornavel-show --help | --version\n";

constexpr const char* help =
    "Prints the files of tornavel for people.\n"
    "\n"
    "  matrix FILE        a one-line summary, then the counts as a table (cut to the\n"
    "                     terminal's width and to 60 rows, with a note)\n"
    "  order FILE         one line per rank: rank (from 1), item index, and with the\n"
    "                     options below its label and score\n"
    "  --labels LABELS    item names, one a line in index order, for both axes\n"
    "  --order FILE       with matrix and --labels: the matrix is in the rank order of\n"
    "                     this order file (as tornavel.frq is); name its rows and\n"
    "                     columns after the ranked items\n"
    "  --matrix FILE      with order: show each ranked item's score in this matrix\n"
    "  --heatmap OUT.pgm  with matrix: also write a log-scaled grey PGM image, one pixel\n"
    "                     a cell (block means beyond 1024 cells a side)\n"
    "  --help, --version  this text, the version\n"
    "\n"
    "Exit status: 0 on success, 1 for a file that cannot be read, written or understood,\n"
    "2 for a wrong command line.\n";

constexpr std::size_t row_limit = 60;

struct usage_error {
  std::string message;
};

struct options {
  std::string kind;  // "matrix" or "order"
  std::string file;
  std::optional<std::string> labels, heatmap, matrix, order;
};

options parse(int argc, char** argv) {
  options o;
  std::vector<std::string> operands;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::optional<std::string> value;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      value = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
    }
    std::optional<std::string>* target = arg == "--labels"    ? &o.labels
                                         : arg == "--heatmap" ? &o.heatmap
                                         : arg == "--matrix"  ? &o.matrix
                                         : arg == "--order"   ? &o.order
                                                              : nullptr;
    if (target != nullptr) {
      if (!value) {
        if (i + 1 == argc) throw usage_error{"option " + arg + " needs a value"};
        value = argv[++i];
      }
      *target = *value;
    } else if (arg == "--") {
      operands.insert(operands.end(), argv + i + 1, argv + argc);
      break;
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw usage_error{"unknown option " + arg};
    } else {
      operands.push_back(arg);
    }
  }
  if (operands.size() != 2) throw usage_error{"expected a kind (matrix or order) and a file"};
  o.kind = operands[0];
  o.file = operands[1];
  if (o.kind != "matrix" && o.kind != "order") throw usage_error{"unknown kind " + o.kind};
  if (o.kind == "matrix" && o.matrix) throw usage_error{"--matrix goes with order"};
  if (o.kind == "order" && (o.heatmap || o.order)) {
    throw usage_error{"--heatmap and --order go with matrix"};
  }
  if (o.order && !o.labels) throw usage_error{"--order goes with --labels"};
  return o;
}

std::vector<std::string> load_labels(const std::string& path, std::size_t items) {
  std::ifstream in(path);
  if (!in) throw file_error::from_errno(path, errno);
  std::vector<std::string> labels;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    labels.push_back(line);
  }
  if (in.bad()) throw file_error::from_errno(path, errno);
  if (labels.size() != items) {
    throw file_error(path, std::to_string(labels.size()) + " names for " + std::to_string(items) +
                               " items");
  }
  return labels;
}

std::size_t terminal_width() {
  winsize size{};
  if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
  }
  if (const char* columns = std::getenv("COLUMNS")) {
    const long width = std::strtol(columns, nullptr, 10);
    if (width > 0) return static_cast<std::size_t>(width);
  }
  return 80;
}

std::string name_of(const std::vector<std::string>& labels, std::size_t item) {
  return labels.empty() ? std::to_string(item) : labels[item];
}

void show_matrix(const options& o) {
  const count_matrix matrix = load_count_matrix(o.file);
  const auto columns = static_cast<std::size_t>(matrix.columns);
  const std::size_t rows = matrix.stored_rows();
  std::vector<std::string> labels;
  if (o.labels) {
    labels = load_labels(*o.labels, std::max(columns, static_cast<std::size_t>(matrix.rows)));
  }
  if (o.order) {
    const std::vector<std::int32_t> order = load_order_file(*o.order);
    if (order.size() != labels.size()) {
      throw file_error(*o.order, "has " + std::to_string(order.size()) + " entries for " +
                                     std::to_string(labels.size()) + " items");
    }
    std::vector<std::string> ranked;
    for (std::int32_t item : order) ranked.push_back(labels[static_cast<std::size_t>(item)]);
    labels = std::move(ranked);
  }
  std::int64_t total = 0;
  for (std::int32_t count : matrix.counts) total += count;
  std::printf("%s: %d columns x %d rows, total %lld, largest count %d\n", o.file.c_str(),
              matrix.columns, matrix.rows, static_cast<long long>(total), matrix.largest_count);

  if (o.heatmap) {
    if (matrix.counts.empty()) throw file_error(o.file, "matrix has no counts to draw");
    staged_file image = save_pgm(draw_heatmap(matrix), *o.heatmap);
    publish_together({&image});
  }
  if (matrix.counts.empty()) return;

  std::size_t name_width = 1, cell_width = std::to_string(matrix.largest_count).size();
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
  for (std::size_t r = 0; r < shown_rows; ++r) {
    std::printf("%-*s", static_cast<int>(name_width), name_of(labels, r).c_str());
    for (std::size_t k = 0; k < shown_columns; ++k) {
      std::printf(" %*d", static_cast<int>(cell_width), matrix.at(r, k));
    }
    std::printf("\n");
  }
  if (shown_columns < columns || shown_rows < rows) {
    std::printf("(shown: %zu of %zu columns, %zu of %zu rows; --heatmap draws the whole matrix)\n",
                shown_columns, columns, shown_rows, rows);
  }
}

void show_order(const options& o) {
  const std::vector<std::int32_t> order = load_order_file(o.file);
  std::vector<std::string> labels;
  if (o.labels) labels = load_labels(*o.labels, order.size());
  std::vector<column_rank> scores;
  if (o.matrix) {
    count_matrix_input matrix = count_matrix_input::open(*o.matrix);
    if (static_cast<std::size_t>(matrix.columns()) != order.size()) {
      throw file_error(*o.matrix, "has " + std::to_string(matrix.columns()) +
                                      " columns, the order " + std::to_string(order.size()));
    }
    input_rows rows(matrix);
    scores = score_columns(rows);
  }
  // Scores as the shortest text that gives back their binary32 bits, aligned on the right.
  std::vector<std::string> score_text(scores.size());
  std::size_t score_width = 0;
  for (std::size_t k = 0; k < scores.size(); ++k) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(scores[k].score));
    score_text[k] = text;
    score_width = std::max(score_width, score_text[k].size());
  }
  const std::string last_index = std::to_string(order.empty() ? 0 : order.size() - 1);
  std::size_t label_width = 0;
  for (const std::string& label : labels) label_width = std::max(label_width, label.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    const auto item = static_cast<std::size_t>(order[i]);
    std::printf("%*zu  %*zu", static_cast<int>(std::to_string(order.size()).size()), i + 1,
                static_cast<int>(last_index.size()), item);
    if (!labels.empty()) {
      // Padded only when a score follows, so that no line ends in blanks.
      const int pad = scores.empty() ? 0 : static_cast<int>(label_width);
      std::printf("  %-*s", pad, labels[item].c_str());
    }
    if (!scores.empty()) {
      std::printf("  %*s", static_cast<int>(score_width), score_text[item].c_str());
    }
    std::printf("\n");
  }
}

}  // namespace

int show(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg == "--help") {
      std::fputs(usage, stdout);
      std::fputs(help, stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (arg == "--version") {
      std::puts("tornavel-show " TORNAVEL_VERSION);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
  }
  handle_signals("tornavel-show: a file shrank or could not be read while it was read");
  try {
    const options o = parse(argc, argv);
    if (o.kind == "matrix") {
      show_matrix(o);
    } else {
      show_order(o);
    }
  } catch (const usage_error& error) {
    std::fprintf(stderr, "tornavel-show: %s\n%s", error.message.c_str(), usage);
    return 2;
  } catch (const file_error& error) {
    std::fprintf(stderr, "tornavel-show: %s\n", error.what());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "tornavel-show: not enough memory\n");
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tornavel-show: %s\n", error.what());
    return 1;
  }
  // Output may have gone to a full disk or a closed pipe: that is a failure too.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "tornavel-show: standard output: write error\n");
    return 1;
  }
  return 0;
}

}  // namespace tornavel
