#include "tool/show.h"

#include <cstdio>
#include <string>
#include <vector>

#include "matrix_files/matrix_files.h"
#include "tool/program.h"
#include "tool/show_views.h"
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

show_options parse(int argc, char** argv) {
  show_options o;
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
    const show_options o = parse(argc, argv);
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
