// The formats a count matrix travels in between tornavel and other programs: the count-matrix
// file itself, CSV and TSV tables, Matrix Market, NumPy .npy and lists of pairs.
//
// Every reader feeds a count_matrix_builder, which owns the rules of a count matrix and the
// wording of each refusal; every writer is a row_sink, taking the rows in order, so a
// conversion holds no more than the non-zero counts (and often only a row).
#ifndef TORNAVEL_FORMATS_FORMATS_H_
#define TORNAVEL_FORMATS_FORMATS_H_

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "formats/input_bytes.h"
#include "formats/count_matrix_builder.h"
#include "files/file_stream.h"

namespace tornavel {

enum class matrix_format { frq, csv, tsv, mtx, npy, pairs };

struct format_info {
  matrix_format format;
  const char* name;       // as --from and --to name it, and its extension
  bool reads, writes;
  bool carries_labels;    // whether the format can name its items
};

const format_info& info_of(matrix_format format);
// "frq, csv, tsv, mtx, npy or pairs", of the formats that read (or write).
std::string format_names(bool writing);

// The format named (by --from or --to), or where name is empty, that of the file at path by its
// extension, looking past a final ".gz" (counts.mtx.gz is mtx); nothing for a name or an
// extension that is no format's.
std::optional<matrix_format> format_of(const std::string& name, const std::string& path);

// Whether a table's first row and its first column are labels; nullopt: as the table's shape and
// cells tell.
struct table_layout {
  std::optional<bool> header, index;
};

// Reads the whole input in the given format into builder, and finishes it. layout: for tables.
void read_matrix(input_bytes& in, matrix_format format, count_matrix_builder& builder,
                 const table_layout& layout = {});

// A writer of the given format to out (precondition: info_of(format).writes). seekable: out is a regular file written
// from its start, in which rows of zeros may be left as a hole instead of being written.
std::unique_ptr<row_sink> make_writer(matrix_format format, file_stream& out, bool seekable);

// Readers of each format, for read_matrix.
void read_table(input_bytes& in, char separator, const table_layout& layout, count_matrix_builder& builder);
void read_matrix_market(text_lines& in, count_matrix_builder& builder);
void read_npy(input_bytes& in, count_matrix_builder& builder);
void read_pairs(text_lines& in, count_matrix_builder& builder);
void read_frq(input_bytes& in, count_matrix_builder& builder);

// Writers of each format, for make_writer.
std::unique_ptr<row_sink> table_writer(file_stream& out, char separator);
std::unique_ptr<row_sink> matrix_market_writer(file_stream& out);
std::unique_ptr<row_sink> npy_writer(file_stream& out, bool seekable);
std::unique_ptr<row_sink> frq_writer(file_stream& out, bool seekable);

}  // namespace tornavel

#endif  // TORNAVEL_FORMATS_FORMATS_H_
