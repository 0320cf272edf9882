// A count matrix converted between tornavel's files and the formats others keep them in, with
// the names of its items.
#ifndef TORNAVEL_JOB_CONVERSION_H_
#define TORNAVEL_JOB_CONVERSION_H_

#include <optional>
#include <string>

#include "files/publication.h"

namespace tornavel {

struct conversion_request {
  std::string in, out;  // file names; "-" for standard input or output
  std::string from, to;  // format names; empty: by the file's extension
  // Item names, one a line: written here from an input that names its items (csv, tsv, pairs),
  // or read from here for a table written from one that does not; empty for none.
  std::string labels;
  // With labels read: the order file whose rank order the input is in, so that the labels are
  // ranked to match; empty for none.
  std::string order;
  // For a csv or tsv input: whether its first row, and its first column, are labels; unset: as
  // the table's shape and cells tell.
  std::optional<bool> header, index;
};

// Converts request.in into request.out (and the labels file), publishing the files written
// together, as publishing says; its notice is also told what the caller should know (labels in
// file order applied to a ranked matrix). Throws request_error for a request that cannot be
// carried out as made, before anything is read; file_error for input that cannot be read or is
// not a count matrix, or output that cannot be written. Unless it returns, no output file is
// changed and no temporary is left.
void run_conversion(const conversion_request& request, const publish_options& publishing);

}  // namespace tornavel

#endif  // TORNAVEL_JOB_CONVERSION_H_
