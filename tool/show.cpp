#include "tool/show.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
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

// Reads the command line with CLI11, as the converter does, keeping the messages the viewer
// has always given. Throws usage_error, or the CLI11 exceptions that ask for help or the
// version.
show_options parse(int argc, char** argv) {
  show_options o;
  CLI::App app{"", "tornavel-show"};
  app.set_help_flag("-h,--help");
  app.set_version_flag("--version", std::string("tornavel-show ") + program_version());
  std::vector<std::string> operands;
  app.add_option("operands", operands);
  for (const auto& [name, target] : {std::pair{"--labels", &o.labels}, std::pair{"--heatmap", &o.heatmap},
                                      std::pair{"--matrix", &o.matrix}, std::pair{"--order", &o.order},
                                      std::pair{"--colors", &o.colors}, std::pair{"--scale", &o.scale},
                                      std::pair{"--plot", &o.plot}}) {
    app.add_option(name, *target);
  }
  app.add_flag("--tsv", o.tsv);
  app.allow_extras(true);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ArgumentMismatch& error) {
    // "--labels: 1 required TEXT missing": an option at the end, without its value.
    const std::string what = error.what();
    throw usage_error{"option " + what.substr(0, what.find(':')) + " needs a value"};
  } catch (const CLI::CallForHelp&) {
    throw;
  } catch (const CLI::CallForVersion&) {
    throw;
  } catch (const CLI::ParseError& error) {
    throw usage_error{error.what()};
  }
  // What CLI11 left: after "--", operands however they look; before, an unknown option.
  const std::vector<std::string> extras = app.remaining();
  for (auto extra = extras.begin(); extra != extras.end(); ++extra) {
    if (*extra == "--") {
      operands.insert(operands.end(), extra + 1, extras.end());
      break;
    }
    throw usage_error{(extra->size() > 1 && (*extra)[0] == '-' ? "unknown option " : "unexpected argument ") + *extra};
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
  // Help and the version come before anything else is read or checked.
  std::optional<show_options> parsed;
  try {
    parsed = parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(usage, stdout);
    std::fputs(help, stdout);
    return std::fflush(stdout) == 0 ? exit_success : exit_failure;
  } catch (const CLI::CallForVersion&) {
    std::printf("tornavel-show %s\n", program_version());
    return std::fflush(stdout) == 0 ? exit_success : exit_failure;
  } catch (const usage_error&) {
    // Reported below, as every failure is.
  }
  handle_signals();
  return run_program("tornavel-show", usage, "", [&] {
    const show_options o = parsed ? *parsed : parse(argc, argv);
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
