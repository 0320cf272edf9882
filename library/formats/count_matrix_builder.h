// Building a count matrix from a reader of any format, and the rules every reader relies on.
//
// Readers hand their values to a count_matrix_builder, which applies what makes a count matrix
// (model/): a square shape of at most 2^31 - 1 items, counts from 0 to 2^31 - 1, repeated
// coordinates that add up without overflow. It refuses anything else in one wording,
// "NAME: line L: cell C: REASON" (or "NAME: element (R, K): REASON" for binary arrays), and
// passes the rows on, in order, to a row_sink: a writer, or memory.
//
// Memory follows the non-zero counts, never the square: rows that come in order go straight
// through; entries that come in any order (coordinates, pairs) are kept, sorted and merged, and
// only the rows holding them are handed on.
#ifndef TORNAVEL_FORMATS_COUNT_MATRIX_BUILDER_H_
#define TORNAVEL_FORMATS_COUNT_MATRIX_BUILDER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tornavel {

// Where in its file a value was found. Lines and cells count from 1 (0: none); elements of
// binary arrays from 0 (-1: none).
struct source_place {
  std::uint64_t line = 0;
  std::uint64_t cell = 0;
  std::int64_t row = -1, column = -1;

  static source_place at_line(std::uint64_t line, std::uint64_t cell = 0) { return {line, cell}; }
  static source_place element(std::int64_t row, std::int64_t column) { return {0, 0, row, column}; }
  // "line L: cell C: ", "line L: ", "element (R, K): " or "".
  std::string prefix() const;
};

// Where a finished matrix goes, a row at a time.
class row_sink {
 public:
  virtual ~row_sink() = default;
  // Whether begin() must be given the labels (a table's label row is written first).
  virtual bool needs_labels_first() const { return false; }
  // Before any row: the side of the square and its labels, if known by then (else empty).
  virtual void begin(std::size_t side, const std::vector<std::string>& labels) = 0;
  // Row `index`, with side() counts. Rows come in ascending order; a row not given is all zero.
  virtual void row(std::size_t index, std::span<const std::int32_t> counts) = 0;
  // Whether rows may come as their non-zero counts alone, through sparse_row(), so that a
  // matrix of many items held as a few entries never makes a whole row.
  virtual bool takes_sparse_rows() const { return false; }
  // Row `index` as its non-zero counts at ascending, distinct columns.
  virtual void sparse_row(std::size_t index, std::span<const std::int32_t> columns,
                          std::span<const std::int32_t> counts) {
    (void)index, (void)columns, (void)counts;
  }
  // After the last row, with the labels (empty if the input named no items).
  virtual void end(const std::vector<std::string>& labels) = 0;
};

class count_matrix_builder {
 public:
  // name: the input, as messages name it.
  count_matrix_builder(std::string name, row_sink& sink) : name_(std::move(name)), sink_(sink) {}

  const std::string& name() const { return name_; }
  [[noreturn]] void refuse(const source_place& where, const std::string& reason) const;

  // A value as a count: text in any decimal form (parse_count's rules), or a binary value.
  std::int32_t count_of(std::string_view text, const source_place& where) const;
  std::int32_t count_of(std::int64_t value, const source_place& where) const;
  std::int32_t count_of(std::uint64_t value, const source_place& where) const;
  std::int32_t count_of(double value, const source_place& where) const;

  // The rows will come in order, starting now: `rows` and `columns` as declared, refused unless
  // square and at most 2^31 - 1 (where: the declaration). labels: if known now; nullopt if they
  // come with finish() (a column of labels), which makes a sink that needs them first wait.
  void start_rows(std::int64_t rows, std::int64_t columns, const source_place& where,
                  std::optional<std::vector<std::string>> labels = std::vector<std::string>{});
  // The next row: columns counts, each already checked by count_of.
  void add_row(std::span<const std::int32_t> counts);

  // Entries will come in any order: the declared shape, or nothing if the side is the number
  // of labels given to finish() (pairs). Repeated coordinates add up.
  void start_entries(std::optional<std::pair<std::int64_t, std::int64_t>> shape,
                     const source_place& where);
  // Adds value at (row, column), counted from 0, which must lie in the declared shape.
  void add(std::int64_t row, std::int64_t column, std::int32_t value);

  // After the last row or entry: checks that the rows made a square (where: the input's end)
  // and hands everything still held to the sink.
  void finish(const source_place& where, std::vector<std::string> labels = {});

 private:
  struct entry {
    std::int32_t row, column, value;
  };
  void check_side(std::int64_t rows, std::int64_t columns, const source_place& where) const;
  void hand_on_entries(const std::vector<std::string>& labels);

  std::string name_;
  row_sink& sink_;
  std::size_t side_ = 0;
  bool side_known_ = false;
  bool streaming_ = false;  // rows go straight to the sink
  std::size_t rows_ = 0;    // rows added so far
  std::vector<entry> entries_;
  bool sorted_ = true;
};

}  // namespace tornavel

#endif  // TORNAVEL_FORMATS_COUNT_MATRIX_BUILDER_H_
