#include "tool/convert.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "matrix_files/matrix_files.h"
#include "tool/companion.h"
#include "tool/convert_formats.h"
#include "tool/labels_file.h"
#include "tool/signals.h"

#ifndef TORNAVEL_VERSION
#define TORNAVEL_VERSION "unknown"
#endif

namespace tornavel {
namespace {

constexpr const char* usage =
    "usage: tornavel-convert [--from FORMAT] [--to FORMAT] [--labels FILE] IN OUT\n";

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

matrix_format format_for(const std::string& path, const std::string& option, const char* flag) {
  if (!option.empty()) {
    if (const auto format = format_named(option)) return *format;
    throw usage_error{"unknown format " + option + " for " + flag};
  }
  if (path == "-") throw usage_error{std::string("- needs ") + flag};
  if (const auto format = format_of_path(path)) return *format;
  throw file_error(path, std::string("unknown extension (name the format with ") + flag +
                             ": frq, csv, tsv, mtx, npy or pairs)");
}

bool carries_labels(matrix_format format) {
  return format == matrix_format::csv || format == matrix_format::tsv ||
         format == matrix_format::pairs;
}

void run_conversion(const std::string& in_path, const std::string& out_path,
                    const std::string& from, const std::string& to,
                    const std::string& labels_path) {
  const matrix_format in_format = format_for(in_path, from, "--from");
  const matrix_format out_format = format_for(out_path, to, "--to");
  if (out_format == matrix_format::pairs) throw usage_error{"pairs is a format for input only"};
  finish_publications_beside("tornavel-convert", {in_path, out_path, labels_path.empty() ? "-" : labels_path});
  labelled_matrix m = [&] {
    if (in_path == "-") {
      file_stream in(stdin, "standard input");
      labelled_matrix read = read_matrix(in, in_format);
      in.release();
      return read;
    }
    file_stream in = file_stream::open(in_path, "rb");
    return read_matrix(in, in_format);
  }();

  // Labels go from an input that carries them to the --labels file, or from that file to an
  // output that carries them.
  std::optional<staged_file> labels_file;
  if (!labels_path.empty()) {
    if (!m.labels.empty()) {
      labels_file.emplace(labels_path);
      for (const std::string& label : m.labels) {
        const std::string line = label + "\n";
        write_exact(labels_file->stream(), line.data(), line.size());
      }
      labels_file->finish();
    } else if (out_format == matrix_format::csv || out_format == matrix_format::tsv) {
      m.labels = load_labels(labels_path, static_cast<std::size_t>(m.matrix.columns));
    } else if (carries_labels(in_format)) {
      throw file_error(in_path, "names no items to write to " + labels_path);
    } else {
      throw usage_error{"--labels goes with an input that names its items (csv, tsv, pairs) "
                        "or an output that can (csv, tsv)"};
    }
  }
  if (out_path == "-") {
    file_stream out(stdout, "standard output");
    write_matrix(out, m, out_format);
    out.flush();
    out.release();
    if (labels_file) publish_together({&*labels_file}, publishing_for("tornavel-convert"));
    return;
  }
  staged_file out(out_path);
  write_matrix(out.stream(), m, out_format);
  out.finish();
  if (labels_file && folder_of(labels_path) == folder_of(out_path)) {
    publish_together({&*labels_file, &out}, publishing_for("tornavel-convert"));
  } else {
    if (labels_file) publish_together({&*labels_file}, publishing_for("tornavel-convert"));
    publish_together({&out}, publishing_for("tornavel-convert"));
  }
}

}  // namespace

int convert(int argc, char** argv) {
  CLI::App app{"Converts count matrices between tornavel's .frq files and CSV, TSV, Matrix Market, "
               "NumPy .npy and lists of pairs.",
               "tornavel-convert"};
  std::string from, to, labels_path, in_path, out_path;
  app.add_option("--from", from,
                 "the input's format: frq, csv, tsv, mtx, npy or pairs (default: IN's extension)");
  app.add_option("--to", to, "the output's format: frq, csv, tsv, mtx or npy (default: OUT's "
                             "extension)");
  app.add_option("--labels", labels_path,
                 "item names, one a line: written here from an input that names its items (a "
                 "CSV/TSV with a label row or column, pairs); read from here for a CSV/TSV output "
                 "of an input that does not");
  app.add_option("IN", in_path, "the input file, - for standard input (then --from is needed)")
      ->required();
  app.add_option("OUT", out_path, "the output file, - for standard output (then --to is needed)")
      ->required();
  app.set_version_flag("--version", "tornavel-convert " TORNAVEL_VERSION);
  app.footer(
      "Exit status: 0 on success; 1 for input that cannot be read or is not a square matrix of "
      "counts from 0 to 2^31 - 1 (nothing is written then); 2 for a wrong command line.");
  app.allow_extras(false);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const CLI::CallForVersion&) {
    std::puts("tornavel-convert " TORNAVEL_VERSION);
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "tornavel-convert: %s\n%s", error.what(), usage);
    return 2;
  }
  handle_signals();
  return report_failures("tornavel-convert", usage,
                         [&] { run_conversion(in_path, out_path, from, to, labels_path); });
}

}  // namespace tornavel
