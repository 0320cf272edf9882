#include "job/conversion.h"

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "formats/formats.h"
#include "formats/labels_file.h"
#include "job/output_place.h"
#include "job/ranked_labels.h"
#include "job/request_error.h"

namespace tornavel {
namespace {

// The format of a file: the one named by the option (flag), else its extension's.
matrix_format format_for(const std::string& path, const std::string& named, const char* flag, bool writing) {
  if (named.empty() && path == "-") throw request_error(std::string("- needs ") + flag);
  const std::optional<matrix_format> format = format_of(named, path);
  if (!format && !named.empty()) throw request_error("unknown format " + named + " for " + flag);
  if (!format) {
    throw file_error(path, std::string("unknown extension (name the format with ") + flag + ": " +
                               format_names(writing) + ")");
  }
  if (writing && !info_of(*format).writes) throw request_error(std::string(info_of(*format).name) + " is a format for input only");
  return *format;
}

// Whether two names are the same file (or the same name, for files that do not exist yet).
bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  return std::filesystem::path(a).lexically_normal() == std::filesystem::path(b).lexically_normal();
}

// The files and formats of a conversion, with what the options ask checked against each other.
struct conversion_plan {
  matrix_format in_format, out_format;
  bool labels_from_input;  // the input names its items, and labels go out (rather than in)
};

conversion_plan plan_of(const conversion_request& r) {
  const matrix_format in_format = format_for(r.in, r.from, "--from", false);
  const conversion_plan plan{in_format, format_for(r.out, r.to, "--to", true), info_of(in_format).carries_labels};
  if (!r.labels.empty()) {
    if (r.labels != "-" && (same_file(r.labels, r.in) || same_file(r.labels, r.out))) {
      throw request_error("--labels may name neither IN nor OUT");
    }
    if (r.labels == "-" && r.out == "-") throw request_error("--labels - and OUT - would share standard output");
    if (!plan.labels_from_input && !info_of(plan.out_format).carries_labels) {
      throw request_error("--labels goes with an input that names its items (csv, tsv, pairs) or an output "
                          "that can (csv, tsv)");
    }
    if (!plan.labels_from_input && r.labels == "-") throw request_error("--labels - writes labels; here they would be read");
  }
  const bool table_in = plan.in_format == matrix_format::csv || plan.in_format == matrix_format::tsv;
  if ((r.header || r.index) && !table_in) throw request_error("--header and --index are for a csv or tsv input");
  if (!r.order.empty() && (r.labels.empty() || plan.labels_from_input)) {
    throw request_error("--order goes with --labels read for an input that does not name its items");
  }
  return plan;
}

// Labels read from a file name the items in their original order; --order ranks them as the
// matrix is ranked.
std::vector<std::string> labels_to_give(const conversion_request& r, const publish_options& publishing) {
  std::vector<std::string> labels = load_labels(r.labels);
  if (!r.order.empty()) return ranked_labels(labels, r.order);
  const std::string note = ranked_matrix_note(r.in);
  if (!note.empty() && publishing.notice) publishing.notice(note);
  return labels;
}

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

void write_labels(const std::vector<std::string>& labels, const conversion_request& r, output_target& out) {
  if (labels.empty()) throw file_error(r.in, "names no items to write to " + r.labels);
  for (const std::string& label : labels) {
    const std::string line = label + "\n";
    write_exact(out.stream(), line.data(), line.size());
  }
  out.finish();
}

}  // namespace

void run_conversion(const conversion_request& r, const publish_options& publishing) {
  const conversion_plan plan = plan_of(r);
  finish_interrupted_publications({r.in, r.out, r.labels.empty() ? "-" : r.labels}, publishing);
  const bool labels_in = !r.labels.empty() && !plan.labels_from_input;
  const std::vector<std::string> given = labels_in ? labels_to_give(r, publishing) : std::vector<std::string>{};
  std::optional<output_target> labels_out;
  if (!r.labels.empty() && plan.labels_from_input) labels_out.emplace(r.labels);
  output_target out(r.out);
  if (labels_out && labels_out->staged() && out.staged() && labels_out->folder() != out.folder()) {
    throw request_error("--labels must be in OUT's folder, so that both are published together");
  }

  input_bytes in = input_bytes::open(r.in);
  const std::unique_ptr<row_sink> writer = make_writer(plan.out_format, out.stream(), out.seekable());
  labels_tap tap(*writer, given, r.labels);
  count_matrix_builder builder(in.name(), tap);
  read_matrix(in, plan.in_format, builder, table_layout{r.header, r.index});
  in.check_unchanged();  // rows of two contents would be published as one
  out.finish();
  if (labels_out) write_labels(tap.found, r, *labels_out);

  // Both or neither: published together where both are files.
  staged_file* const labels_file = labels_out ? labels_out->staged() : nullptr;
  if (labels_file && out.staged()) {
    publish_together({labels_file, out.staged()}, publishing);
  } else if (labels_file || out.staged()) {
    publish_together({labels_file ? labels_file : out.staged()}, publishing);
  }
}

}  // namespace tornavel
