#include "tool/show.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
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
#include "tool/program.h"
#include "tool/heatmap.h"
#include "tool/input_rows.h"
#include "tool/labels_file.h"
#include "tool/score_plot.h"
#include "tool/signals.h"

namespace tornavel {
namespace {

constexpr const char* usage =
    "usage: tornavel-show matrix MATRIX_FILE [--labels LABELS [--order ORDER_FILE]]\n"
    "                     [--heatmap OUT.png|OUT.svg|OUT.pgm|- [--colors grey|viridis]\n"
    "                     [--scale N]]\n"
    "       tornavel-show order ORDER_FILE [--labels LABELS] [--matrix MATRIX_FILE [--plot OUT.svg]]\n"
    "                     [--tsv]\n"
    "       tornavel-show -h | --help | --version\n";

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
    "  --plot OUT.svg     with order and --matrix: also plot the scores by rank (log-scaled\n"
    "                     where they span decades), the first items named\n"
    "  --tsv              with order: every rank as tab-separated values under the header\n"
    "                     rank, column, label, score (empty where not known)\n"
    "  --heatmap OUT      with matrix: also write a log-scaled picture of the counts\n"
    "                     (block means beyond 1024 cells a side): PNG for a name ending\n"
    "                     in .png, SVG (with the labels on both axes and a legend) for\n"
    "                     .svg, binary PGM for .pgm; - writes PGM to standard output\n"
    "                     instead of the table; a device or FIFO is written to as it is\n"
    "  --colors MAP       the heatmap's colours: grey (white to black, the default) or\n"
    "                     viridis (dark blue to yellow, zero white; PNG and SVG)\n"
    "  --scale N          pixels a cell a side (default: enough for at least 512)\n"
    "  -h, --help         this text\n"
    "  --version          the version\n"
    "\n"
    "Files may be pipes (/dev/stdin). The matrix tornavel writes is in rank order: name\n"
    "its items with --labels and --order tornavel.ord together.\n"
    "\n"
    "Exit status: 0 on success, 1 for a file that cannot be read, written or understood,\n"
    "2 for a wrong command line.\n";

constexpr std::size_t row_limit = 60;

struct options {
  std::string kind;  // "matrix" or "order"
  std::string file;
  std::optional<std::string> labels, heatmap, matrix, order, colors, scale, plot;
  bool tsv = false;
};

// Whether name is a file that exists and is not a regular file: a device, a FIFO, a terminal.
bool is_special_file(const std::string& name) {
  struct stat status;
  return stat(name.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
}

// The heatmap's format, from its name; a device or FIFO without a telling name gets PGM.
std::optional<image_format> image_format_for(const std::string& name) {
  if (const auto format = heatmap_format(name)) return format;
  if (is_special_file(name)) return image_format::pgm;
  return std::nullopt;
}

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
                                         : arg == "--colors"  ? &o.colors
                                         : arg == "--scale"   ? &o.scale
                                         : arg == "--plot"    ? &o.plot
                                                              : nullptr;
    if (target != nullptr) {
      if (!value) {
        if (i + 1 == argc) throw usage_error{"option " + arg + " needs a value"};
        value = argv[++i];
      }
      *target = *value;
    } else if (arg == "--tsv") {
      o.tsv = true;
    } else if (arg == "--") {
      operands.insert(operands.end(), argv + i + 1, argv + argc);
      break;
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw usage_error{"unknown option " + arg};
    } else {
      operands.push_back(arg);
    }
  }
  if (operands.size() > 2) throw usage_error{"unexpected argument " + operands[2]};
  if (operands.size() != 2) throw usage_error{"expected a kind (matrix or order) and a file"};
  o.kind = operands[0];
  o.file = operands[1];
  if (o.kind != "matrix" && o.kind != "order") throw usage_error{"unknown kind " + o.kind};
  if (o.kind == "matrix" && o.matrix) throw usage_error{"--matrix goes with order"};
  if (o.kind == "matrix" && o.tsv) throw usage_error{"--tsv goes with order"};
  if (o.kind == "order" && (o.heatmap || o.order)) {
    throw usage_error{"--heatmap and --order go with matrix"};
  }
  if (o.order && !o.labels) throw usage_error{"--order goes with --labels"};
  if (o.heatmap && !image_format_for(*o.heatmap)) {
    throw usage_error{"--heatmap takes a name ending in .png, .svg or .pgm, or - for standard output"};
  }
  if ((o.colors || o.scale) && !o.heatmap) throw usage_error{"--colors and --scale go with --heatmap"};
  if (o.plot && (o.kind != "order" || !o.matrix)) throw usage_error{"--plot goes with order and --matrix"};
  if (o.plot && heatmap_format(*o.plot) != image_format::svg) throw usage_error{"--plot takes a name ending in .svg"};
  if (o.colors && *o.colors != "grey" && *o.colors != "viridis") {
    throw usage_error{"--colors takes grey or viridis"};
  }
  if (o.colors && *o.colors == "viridis" && *image_format_for(*o.heatmap) == image_format::pgm) {
    throw usage_error{"a PGM image is grey: --colors viridis needs a .png or .svg heatmap"};
  }
  if (o.scale && (o.scale->empty() || o.scale->size() > 3 ||
                  o.scale->find_first_not_of("0123456789") != std::string::npos || std::stoi(*o.scale) < 1)) {
    throw usage_error{"--scale takes a whole number of pixels from 1 to 999"};
  }
  return o;
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

// Refuses a heatmap name that is one of the files being shown: writing it would replace them.
void check_not_shown(const options& o, const std::string& heatmap) {
  struct stat image;
  if (heatmap == "-" || stat(heatmap.c_str(), &image) != 0 || !S_ISREG(image.st_mode)) return;
  for (const std::optional<std::string>& shown : {std::optional(o.file), o.labels, o.order}) {
    struct stat file;
    if (shown && stat(shown->c_str(), &file) == 0 && file.st_dev == image.st_dev &&
        file.st_ino == image.st_ino) {
      throw file_error(heatmap, "is a file being shown; writing the heatmap would replace it");
    }
  }
}

// Whether the heatmap goes to standard output: "-", or a name for the same file (/dev/stdout).
bool heatmap_is_standard_output(const std::string& name) {
  struct stat image, out;
  return name == "-" || (stat(name.c_str(), &image) == 0 && fstat(STDOUT_FILENO, &out) == 0 &&
                         image.st_dev == out.st_dev && image.st_ino == out.st_ino);
}

// Writes the picture to standard output for "-", into a device or FIFO as it stands, and
// otherwise as a staged file, so that a failure leaves no half-written picture.
void write_picture(const std::vector<unsigned char>& bytes, const std::string& name) {
  if (name == "-") {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) {
      throw file_error("standard output", "write error");
    }
    return;
  }
  if (is_special_file(name)) {
    file_stream out = file_stream::open(name, "wb");
    write_exact(out, bytes.data(), bytes.size());
    out.close();
    return;
  }
  staged_file out(name);
  write_exact(out.stream(), bytes.data(), bytes.size());
  out.finish();
  publish_together({&out}, publishing_for("tornavel-show"));
}

void write_heatmap(const heatmap_values& values, const options& o, const std::vector<std::string>& labels) {
  const heatmap_style style{o.colors && *o.colors == "viridis" ? colour_map::viridis : colour_map::grey,
                            o.scale ? static_cast<std::size_t>(std::stoi(*o.scale)) : 0};
  const image_format format = *image_format_for(*o.heatmap);
  if (format == image_format::svg) {
    const std::string svg = heatmap_svg(values, style, labels);
    write_picture(std::vector<unsigned char>(svg.begin(), svg.end()), *o.heatmap);
  } else {
    write_picture(encode_image(render_heatmap(values, style), format), *o.heatmap);
  }
}

// The matrix tornavel writes is in rank order, while labels name items in file order: say so
// when labels are applied to such a matrix without its order file.
void warn_of_ranked_matrix(const options& o) {
  const std::size_t slash = o.file.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : o.file.substr(0, slash + 1);
  const std::string base = o.file.substr(folder.size());
  struct stat status;
  if (o.labels && !o.order && base == matrix_file_name &&
      stat((folder + order_file_name).c_str(), &status) == 0) {
    std::fprintf(stderr,
                 "tornavel-show: note: the labels name rows and columns in file order; if %s is "
                 "in rank order, --order %stornavel.ord names them after the ranked items\n",
                 printable_name(o.file).c_str(), folder.c_str());
  }
}

// The labels to name a matrix's rows and columns by: the labels file's, permuted by the order
// file if one is given; none without a labels file.
std::vector<std::string> matrix_labels(const options& o, std::size_t items) {
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

void show_matrix(const options& o) {
  if (o.heatmap) check_not_shown(o, *o.heatmap);
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

void show_order(const options& o) {
  const std::vector<std::int32_t> order = load_order_file(o.file);
  std::vector<std::string> labels;
  if (o.labels) labels = load_labels(*o.labels, order.size());
  // The TSV table is data for other programs: labels go out as they are (a labels file holds
  // no tab or line break that could break it). On a terminal they are escaped.
  if (!o.tsv) {
    for (std::string& label : labels) label = printable_name(label);
  }
  std::vector<column_rank> scores;
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

}  // namespace

int show(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      std::fputs(help, stdout);
      return std::fflush(stdout) == 0 ? exit_success : exit_failure;
    }
    if (arg == "--version") {
      std::printf("tornavel-show %s\n", program_version());
      return std::fflush(stdout) == 0 ? exit_success : exit_failure;
    }
  }
  handle_signals();
  return run_program("tornavel-show", usage, "", [&] {
    const options o = parse(argc, argv);
    std::vector<std::string> files{o.file};
    for (const auto& file : {o.labels, o.matrix, o.order}) {
      if (file) files.push_back(*file);
    }
    finish_publications_beside("tornavel-show", files);
    if (o.kind == "matrix") {
      show_matrix(o);
    } else {
      show_order(o);
    }
  });
}

}  // namespace tornavel
