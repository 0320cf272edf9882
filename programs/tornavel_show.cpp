// tornavel-show matrix|order FILE [options]: the tool's files made readable.
#include <optional>
#include <string>
#include <vector>

#include "job/request_error.h"
#include "programs/command_line.h"
#include "programs/program.h"
#include "programs/signals.h"
#include "views/matrix_view.h"
#include "views/order_view.h"
#include "views/pictures.h"

namespace {

using tornavel::request_error;

constexpr tornavel::program_text text{
    "tornavel-show",
    "usage: tornavel-show matrix MATRIX_FILE [--labels LABELS [--order ORDER_FILE]]\n"
    "                     [--heatmap OUT.png|OUT.svg|OUT.pgm|- [--colors grey|viridis]\n"
    "                     [--scale N]]\n"
    "       tornavel-show order ORDER_FILE [--labels LABELS] [--matrix MATRIX_FILE [--plot OUT.svg]]\n"
    "                     [--tsv]\n"
    "       tornavel-show -h | --help | --version\n",
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
    "                     (block means beyond 1024 cells a side, 2048 for a labelled\n"
    "                     SVG): PNG for a name ending in .png, SVG (every label on both\n"
    "                     axes, and a legend) for .svg, binary PGM for .pgm (neither\n"
    "                     image holds labels); - writes PGM to standard output\n"
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
    "2 for a wrong command line.\n",
    "a kind (matrix or order) and a file"};

// The options as given, before they are checked against each other.
struct show_options {
  std::optional<std::string> labels, heatmap, matrix, order, colors, scale, plot;
  bool tsv = false;
};

// The heatmap's style from --colors and --scale, which go with a heatmap of a format that can
// show them.
tornavel::heatmap_style style_of(const show_options& o) {
  if ((o.colors || o.scale) && !o.heatmap) throw request_error("--colors and --scale go with --heatmap");
  tornavel::heatmap_style style;
  if (o.colors && *o.colors != "grey" && *o.colors != "viridis") throw request_error("--colors takes grey or viridis");
  if (o.colors && *o.colors == "viridis") {
    if (*tornavel::image_format_for(*o.heatmap) == tornavel::image_format::pgm) {
      throw request_error("a PGM image is grey: --colors viridis needs a .png or .svg heatmap");
    }
    style.colours = tornavel::colour_map::viridis;
  }
  if (o.scale) {
    if (o.scale->empty() || o.scale->size() > 3 || o.scale->find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(*o.scale) < 1) {
      throw request_error("--scale takes a whole number of pixels from 1 to 999");
    }
    style.scale = static_cast<std::size_t>(std::stoi(*o.scale));
  }
  return style;
}

tornavel::matrix_view_request matrix_request(const show_options& o, const std::string& file) {
  if (o.matrix) throw request_error("--matrix goes with order");
  if (o.tsv) throw request_error("--tsv goes with order");
  if (o.plot) throw request_error("--plot goes with order and --matrix");
  if (o.order && !o.labels) throw request_error("--order goes with --labels");
  if (o.heatmap && !tornavel::image_format_for(*o.heatmap)) {
    throw request_error("--heatmap takes a name ending in .png, .svg or .pgm, or - for standard output");
  }
  return {file, o.labels, o.order, o.heatmap, style_of(o)};
}

tornavel::order_view_request order_request(const show_options& o, const std::string& file) {
  if (o.heatmap || o.order) throw request_error("--heatmap and --order go with matrix");
  if (o.colors || o.scale) throw request_error("--colors and --scale go with --heatmap");
  if (o.plot && !o.matrix) throw request_error("--plot goes with order and --matrix");
  if (o.plot && tornavel::heatmap_format(*o.plot) != tornavel::image_format::svg) {
    throw request_error("--plot takes a name ending in .svg");
  }
  return {file, o.labels, o.matrix, o.plot, o.tsv};
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tornavel;
  CLI::App app;
  show_options o;
  for (const auto& [name, target] : {std::pair{"--labels", &o.labels}, std::pair{"--heatmap", &o.heatmap},
                                      std::pair{"--matrix", &o.matrix}, std::pair{"--order", &o.order},
                                      std::pair{"--colors", &o.colors}, std::pair{"--scale", &o.scale},
                                      std::pair{"--plot", &o.plot}}) {
    app.add_option(name, *target);
  }
  app.add_flag("--tsv", o.tsv);
  std::vector<std::string> operands;
  if (const std::optional<int> done = read_command_line(app, operands, argc, argv, text)) return *done;
  handle_signals();
  return run_program(text.name, text.usage, "", [&] {
    const std::string& kind = operands[0];
    const publish_options publishing = publishing_for(text.name);
    if (kind == "matrix") {
      const matrix_view_request request = matrix_request(o, operands[1]);
      finish_interrupted_publications({request.file, o.labels.value_or("-"), o.order.value_or("-")}, publishing);
      show_matrix(request, stdout, publishing);
    } else if (kind == "order") {
      const order_view_request request = order_request(o, operands[1]);
      finish_interrupted_publications({request.file, o.labels.value_or("-"), o.matrix.value_or("-")}, publishing);
      show_order(request, stdout, publishing);
    } else {
      throw request_error("unknown kind " + kind);
    }
  });
}
