#include "tool/convert.h"

#include <CLI/CLI.hpp>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "matrix_files/matrix_files.h"
#include "tool/program.h"
#include "tool/labels_file.h"
#include "tool/output_place.h"
#include "tool/signals.h"

namespace tornavel {
namespace {

constexpr const char* usage =
    "usage: tornavel-convert [--from FORMAT] [--to FORMAT] [--labels FILE [--order ORDER_FILE]] "
    "IN OUT\n";

constexpr const char* program = "tornavel-convert";

struct request {
  std::string from, to, labels, order, in, out;
};

matrix_format format_for(const std::string& path, const std::string& option, const char* flag, bool writing) {
  std::optional<matrix_format> format;
  if (!option.empty()) {
    format = format_named(option);
    if (!format) throw usage_error{"unknown format " + option + " for " + flag};
  } else if (path == "-") {
    throw usage_error{std::string("- needs ") + flag};
  } else {
    format = format_of_path(path);
    if (!format) {
      throw file_error(path, std::string("unknown extension (name the format with ") + flag + ": " +
                                 format_names(writing) + ")");
    }
  }
  if (writing && !info_of(*format).writes) throw usage_error{std::string(info_of(*format).name) + " is a format for input only"};
  return *format;
}

std::string folder_of(const std::string& path) {
  return std::filesystem::path(path).parent_path().lexically_normal().string();
}

// Whether two names are the same file (or the same name, for files that do not exist yet).
bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  return std::filesystem::path(a).lexically_normal() == std::filesystem::path(b).lexically_normal();
}

// An output, where where_output_goes says: standard output, a device or FIFO written through,
// or a file staged beside its name and published when complete.
class output {
 public:
  explicit output(const std::string& path) {
    switch (where_output_goes(path)) {
      case output_place::standard_output:
        stream_.emplace(stdout, "standard output");
        standard_ = true;
        return;
      case output_place::through:
        stream_.emplace(file_stream::open(path, "wb"));
        return;
      case output_place::staged:
        staged_.emplace(path);
    }
  }
  ~output() {
    if (standard_) stream_->release();
  }
  output(const output&) = delete;
  output& operator=(const output&) = delete;

  file_stream& stream() { return staged_ ? staged_->stream() : *stream_; }
  bool seekable() const { return staged_.has_value(); }
  staged_file* staged() { return staged_ ? &*staged_ : nullptr; }
  std::string folder() const { return staged_ ? folder_of(staged_->path()) : ""; }

  // Everything written reaches the file (or the device): staged files are flushed to the disk.
  void finish() {
    if (staged_) {
      staged_->finish();
    } else if (standard_) {
      stream_->flush();
    } else {
      stream_->close();
    }
  }

 private:
  std::optional<file_stream> stream_;
  std::optional<staged_file> staged_;
  bool standard_ = false;
};

// Passes the rows on to the writer, giving it labels from a labels file where the input has
// none, and keeping the labels the input gave.
class labels_tap final : public row_sink {
 public:
  // given: the labels read from the file named labels_name, if any.
  labels_tap(row_sink& writer, std::vector<std::string> given, std::string labels_name)
      : writer_(writer), given_(std::move(given)), labels_name_(std::move(labels_name)) {}
  bool needs_labels_first() const override { return writer_.needs_labels_first() && given_.empty(); }
  void begin(std::size_t side, const std::vector<std::string>& labels) override {
    if (!given_.empty() && given_.size() != side) {
      throw file_error(labels_name_, std::to_string(given_.size()) + " names for " + std::to_string(side) + " items");
    }
    writer_.begin(side, given_.empty() ? labels : given_);
  }
  void row(std::size_t index, std::span<const std::int32_t> counts) override { writer_.row(index, counts); }
  bool takes_sparse_rows() const override { return writer_.takes_sparse_rows(); }
  void sparse_row(std::size_t index, std::span<const std::int32_t> columns, std::span<const std::int32_t> counts) override {
    writer_.sparse_row(index, columns, counts);
  }
  void end(const std::vector<std::string>& labels) override {
    found = labels;
    writer_.end(given_.empty() ? labels : given_);
  }

  std::vector<std::string> found;  // the labels the input gave

 private:
  row_sink& writer_;
  std::vector<std::string> given_;
  std::string labels_name_;
};

void run_conversion(const request& r) {
  const matrix_format in_format = format_for(r.in, r.from, "--from", false);
  const matrix_format out_format = format_for(r.out, r.to, "--to", true);
  const bool labels_from_input = info_of(in_format).carries_labels;
  if (!r.labels.empty()) {
    if (r.labels != "-" && (same_file(r.labels, r.in) || same_file(r.labels, r.out))) {
      throw usage_error{"--labels may name neither IN nor OUT"};
    }
    if (r.labels == "-" && r.out == "-") throw usage_error{"--labels - and OUT - would share standard output"};
    if (!labels_from_input && !info_of(out_format).carries_labels) {
      throw usage_error{"--labels goes with an input that names its items (csv, tsv, pairs) or an output "
                        "that can (csv, tsv)"};
    }
    if (!labels_from_input && r.labels == "-") throw usage_error{"--labels - writes labels; here they would be read"};
  }
  if (!r.order.empty() && (r.labels.empty() || labels_from_input)) {
    throw usage_error{"--order goes with --labels read for an input that does not name its items"};
  }
  finish_publications_beside(program, {r.in, r.out, r.labels.empty() ? "-" : r.labels});

  // Labels read from a file name the items in their original order; --order ranks them as the
  // matrix is ranked.
  std::vector<std::string> given;
  if (!r.labels.empty() && !labels_from_input) {
    given = load_labels(r.labels);
    if (!r.order.empty()) {
      const std::vector<std::int32_t> order = load_order_file(r.order);
      if (order.size() != given.size()) {
        throw file_error(r.order, "has " + std::to_string(order.size()) + " entries for " +
                                      std::to_string(given.size()) + " labels");
      }
      std::vector<std::string> ranked;
      for (std::int32_t item : order) ranked.push_back(given[static_cast<std::size_t>(item)]);
      given = std::move(ranked);
    } else if (std::filesystem::path(r.in).filename() == matrix_file_name) {
      std::fprintf(stderr,
                   "%s: note: the labels name the items in file order; if %s is in rank order, "
                   "--order with its tornavel.ord names them after the ranked items\n",
                   program, printable_name(r.in).c_str());
    }
  }
  std::optional<output> labels_out;
  if (!r.labels.empty() && labels_from_input) labels_out.emplace(r.labels);
  output out(r.out);
  if (labels_out && labels_out->staged() && out.staged() && labels_out->folder() != out.folder()) {
    throw usage_error{"--labels must be in OUT's folder, so that both are published together"};
  }

  input_bytes in = input_bytes::open(r.in);
  const std::unique_ptr<row_sink> writer = make_writer(out_format, out.stream(), out.seekable());
  labels_tap tap(*writer, given, r.labels);
  count_matrix_builder builder(in.name(), tap);
  read_matrix(in, in_format, builder);
  in.check_unchanged();  // rows of two contents would be published as one
  out.finish();

  if (labels_out) {
    if (tap.found.empty()) throw file_error(r.in, "names no items to write to " + r.labels);
    for (const std::string& label : tap.found) {
      const std::string line = label + "\n";
      write_exact(labels_out->stream(), line.data(), line.size());
    }
    labels_out->finish();
  }
  // Both or neither: published together where both are files.
  std::vector<staged_file*> staged;
  if (labels_out && labels_out->staged()) staged.push_back(labels_out->staged());
  if (out.staged()) staged.push_back(out.staged());
  if (staged.size() == 2) {
    publish_together({staged[0], staged[1]}, publishing_for(program));
  } else if (staged.size() == 1) {
    publish_together({staged[0]}, publishing_for(program));
  }
}

}  // namespace

int convert(int argc, char** argv) {
  CLI::App app{"Converts count matrices between tornavel's .frq files and CSV, TSV, Matrix Market, "
               "NumPy .npy and lists of pairs; any input may be gzip-compressed.",
               program};
  request r;
  app.add_option("--from", r.from,
                 "the input's format: frq, csv, tsv, mtx, npy or pairs (default: IN's extension, "
                 "past a final .gz)");
  app.add_option("--to", r.to, "the output's format: frq, csv, tsv, mtx or npy (default: OUT's "
                               "extension)");
  app.add_option("--labels", r.labels,
                 "item names, one a line: written here (- for standard output) from an input that "
                 "names its items (csv, tsv, pairs); read from here for a csv or tsv output of one "
                 "that does not (frq, mtx, npy)");
  app.add_option("--order", r.order,
                 "with --labels read: IN is in the rank order of this order file (as tornavel.frq "
                 "is in that of tornavel.ord), so the labels are ranked to match");
  app.add_option("IN", r.in, "the input file, - for standard input (then --from is needed)")->required();
  app.add_option("OUT", r.out, "the output file, - for standard output (then --to is needed)")->required();
  app.set_version_flag("--version", std::string("tornavel-convert ") + program_version());
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
    std::printf("tornavel-convert %s\n", program_version());
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "tornavel-convert: %s\n%s", error.what(), usage);
    return exit_usage;
  }
  handle_signals();
  return run_program(program, usage, "", [&] { run_conversion(r); });
}

}  // namespace tornavel
