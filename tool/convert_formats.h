// The formats tornavel-convert reads and writes, each to and from a count matrix in memory with
// the names of its items, where the format carries them.
//
// Readers refuse bad input with a file_error naming the file, the line (and cell) and the fault.
#ifndef TORNAVEL_TOOL_CONVERT_FORMATS_H_
#define TORNAVEL_TOOL_CONVERT_FORMATS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "matrix_files/matrix_files.h"

namespace tornavel {

enum class matrix_format { frq, csv, tsv, mtx, npy, pairs };

// The format named by an extension or by --from/--to ("frq", "csv", ...), or nothing.
std::optional<matrix_format> format_named(const std::string& name);
std::optional<matrix_format> format_of_path(const std::string& path);

struct labelled_matrix {
  count_matrix matrix;
  std::vector<std::string> labels;  // empty when the input named no items
};

// Reads a whole input of the given format from where in stands.
labelled_matrix read_matrix(file_stream& in, matrix_format format);

// Writes m in the given format (not pairs); labels are written where the format carries them.
void write_matrix(file_stream& out, const labelled_matrix& m, matrix_format format);

// The value of a cell as a count: a whole number from 0 to 2^31 - 1, written as an integer or
// as a decimal or exponent form whose value is whole ("3", "3.0", "3e2"). Returns the fault
// ("negative value -1", "fractional value 2.5", "value 3000000000 beyond 2^31 - 1",
// "not a number: x") or "".
std::string parse_count(std::string_view text, std::int32_t& count);

}  // namespace tornavel

#endif  // TORNAVEL_TOOL_CONVERT_FORMATS_H_
