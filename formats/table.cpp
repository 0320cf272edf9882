// CSV and TSV tables of counts, as spreadsheets, pandas, NumPy and Python's csv module write
// them: cells as RFC 4180 has them (quoted where they hold the separator or quotes, spaces
// kept), LF, CRLF or CR line ends, an optional UTF-8 byte-order mark, and optional labels: a
// first row naming the columns, a first column naming the rows, or both, with an empty corner
// cell over the labels as pandas writes it.
//
// Which layout a table has is read from its first row where it can be: an empty corner or a
// cell that is not a number makes it a row of labels. A first row of numbers alone could be
// counts, or labels that look like numbers (items named 0, 1, 2, ...), and a first column of
// numbers could be labels too: such tables are kept, as their non-zero counts, until their
// shape tells (a square has as many rows of counts as columns), and read in order otherwise.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

#include "formats/formats.h"
#include "matrix_files/count_text.h"
#include "matrix_files/file_error.h"

namespace tornavel {
namespace {

// The cells of a record, as views into the line or into a buffer for quoted cells.
class record_cells {
 public:
  // Splits line at separator; a cell that starts with a quote runs to its closing quote, with
  // doubled quotes inside standing for one.
  void split(const text_lines& in, std::string_view line, char separator) {
    cells_.clear();
    line_ = line;
    if (std::memchr(line.data(), '"', line.size()) == nullptr) {
      // The usual line, without quotes: split in one pass.
      std::size_t start = 0;
      for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == separator) {
          cells_.push_back({start, i - start, false});
          start = i + 1;
        }
      }
      cells_.push_back({start, line.size() - start, false});
      return;
    }
    unquoted_.clear();
    unquoted_.reserve(line.size());
    std::size_t at = 0;
    for (;;) {
      if (at < line.size() && line[at] == '"') {
        const std::size_t start = unquoted_.size();
        for (++at;; ++at) {
          if (at >= line.size()) {
            in.fail("a quoted cell holds a line break (labels are one line each)", cells_.size() + 1);
          }
          if (line[at] == '"') {
            if (at + 1 < line.size() && line[at + 1] == '"') {
              unquoted_ += '"';
              ++at;
              continue;
            }
            ++at;
            break;
          }
          unquoted_ += line[at];
        }
        if (at < line.size() && line[at] != separator) {
          in.fail("text after a quoted cell's closing quote", cells_.size() + 1);
        }
        cells_.push_back({start, unquoted_.size() - start, true});
      } else {
        const std::size_t stop = std::min(line.find(separator, at), line.size());
        cells_.push_back({at, stop - at, false});
        at = stop;
      }
      if (at >= line.size()) break;
      ++at;  // the separator
    }
  }

  std::size_t size() const { return cells_.size(); }
  std::string_view operator[](std::size_t i) const {
    const cell& c = cells_[i];
    return c.quoted ? std::string_view(unquoted_).substr(c.start, c.size) : line_.substr(c.start, c.size);
  }

 private:
  struct cell {
    std::size_t start, size;
    bool quoted;
  };
  std::vector<cell> cells_;
  std::string unquoted_;
  std::string_view line_;
};

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool is_blank(std::string_view line) { return trimmed(line).empty(); }

// A label as read: a tab would break the labels file and a TSV, so it is refused.
std::string label_of(const text_lines& in, std::string_view text, std::size_t cell) {
  if (text.find('\t') != std::string_view::npos) in.fail("a label holds a tab", cell);
  return std::string(text);
}

// The count in a cell, at once for the usual few digits.
std::int32_t count_in(const count_matrix_builder& builder, const text_lines& in, std::string_view text,
                      std::size_t cell) {
  if (!text.empty() && text.size() <= 9) {
    std::int32_t value = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + (text[i] - '0');
    if (i == text.size()) return value;
  }
  return builder.count_of(trimmed(text), source_place::at_line(in.number(), cell));
}

// Reads a record's counts from cell 1 on, calling take(k, count) for each cell k, and returns
// its first cell's text. A line without quotes, the usual one, is read where it lies, each
// count in the same pass that finds its end.
template <typename F>
std::string_view read_counts(const count_matrix_builder& builder, const text_lines& in, std::string_view line,
                             char separator, record_cells& cells, std::size_t width, F&& take) {
  if (std::memchr(line.data(), '"', line.size()) != nullptr) {
    cells.split(in, line, separator);
    if (cells.size() != width) {
      in.fail(std::to_string(cells.size()) + " cells where the first row has " + std::to_string(width));
    }
    for (std::size_t k = 1; k < width; ++k) take(k, count_in(builder, in, cells[k], k + 1));
    return cells[0];
  }
  std::string_view first;
  std::size_t k = 0;
  for (std::size_t at = 0;; ++k) {
    std::size_t stop = at;
    std::int32_t value = 0;
    while (stop < line.size() && stop - at < 9 && line[stop] >= '0' && line[stop] <= '9') {
      value = value * 10 + (line[stop++] - '0');
    }
    const bool plain = stop > at && (stop == line.size() || line[stop] == separator);
    if (!plain) {
      while (stop < line.size() && line[stop] != separator) ++stop;
    }
    if (k == 0) {
      first = line.substr(at, stop - at);
    } else if (k < width) {
      take(k, plain ? value : count_in(builder, in, line.substr(at, stop - at), k + 1));
    }
    if (stop == line.size()) break;
    at = stop + 1;
  }
  if (k + 1 != width) in.fail(std::to_string(k + 1) + " cells where the first row has " + std::to_string(width));
  return first;
}

// A table whose layout its shape must tell: what it holds until then.
struct held_table {
  std::vector<std::string> first_row;     // its cells as text
  std::vector<std::string> first_cells;   // each record's first cell, as text
  struct entry {
    std::int32_t row, column, value;
  };
  std::vector<entry> counts;              // non-zero counts of the cells past the first
  std::vector<std::int32_t> first_counts; // each record's first cell as a count, where it is one
  std::uint64_t first_fault_line = 0;     // the first line whose first cell is not a count
  std::string first_fault;
  bool first_cells_numeric = true;
};

// Whether cells are 0, 1, 2, ... in turn: the names pandas gives columns and rows by default,
// and the only numbers taken for labels where the shape leaves room for them. Any other row of
// numbers is counts, so that no count is ever dropped as a label.
bool counts_up(const std::vector<std::string>& cells) {
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (cells[i] != std::to_string(i)) return false;
  }
  return true;
}

// Decides the layout of a held table by its shape, and hands it to the builder.
void hand_on_held(const text_lines& in, held_table& t, bool header_is_labels, std::size_t width,
                  std::size_t records, count_matrix_builder& builder) {
  // The layouts a square allows: (label row, label column).
  const std::size_t data_rows = records - (header_is_labels ? 1 : 0);
  bool label_row = header_is_labels, label_column;
  if (header_is_labels) {
    label_column = !t.first_cells_numeric || data_rows + 1 == width;
  } else if (!t.first_cells_numeric) {
    // Words down the first column: labels; above them, a row of numbers is labels only if
    // the shape has room for it and they count up from 0.
    label_column = true;
    label_row = records == width &&
                counts_up(std::vector<std::string>(t.first_row.begin() + 1, t.first_row.end()));
  } else if (records == width + 1 && counts_up(t.first_row)) {
    label_row = true, label_column = false;
  } else if (records + 1 == width && counts_up(t.first_cells)) {
    label_column = true;
  } else {
    label_column = false;
  }
  // The counts that this layout reads where it might have read labels: a fault in them comes
  // first, being earlier in the file.
  if (!label_row && !header_is_labels) {
    for (std::size_t k = label_column ? 1 : 0; k < width; ++k) {
      const std::int32_t value = builder.count_of(trimmed(t.first_row[k]), source_place::at_line(1, k + 1));
      if (value != 0 && k > 0) t.counts.push_back({0, static_cast<std::int32_t>(k), value});
    }
  }
  if (!label_column && !t.first_fault.empty()) builder.refuse(source_place::at_line(t.first_fault_line, 1), t.first_fault);
  const std::size_t side = width - (label_column ? 1 : 0);
  const std::size_t rows = records - (label_row ? 1 : 0);
  const source_place end = source_place::at_line(in.number());
  if (rows != side) {
    builder.refuse(end, "matrix is not square (" + std::to_string(rows) + " rows, " +
                            std::to_string(side) + " columns)");
  }
  builder.start_entries(std::pair{static_cast<std::int64_t>(side), static_cast<std::int64_t>(side)}, end);
  const std::size_t skip = label_row ? 1 : 0;
  for (const held_table::entry& e : t.counts) {
    if (static_cast<std::size_t>(e.row) < skip) continue;
    builder.add(e.row - static_cast<std::int64_t>(skip), e.column - (label_column ? 1 : 0), e.value);
  }
  if (!label_column) {
    for (std::size_t r = skip; r < records; ++r) builder.add(static_cast<std::int64_t>(r - skip), 0, t.first_counts[r]);
  }
  std::vector<std::string> labels;
  if (label_row) labels.assign(t.first_row.begin() + (label_column ? 1 : 0), t.first_row.end());
  if (label_column) {
    std::vector<std::string> row_labels(t.first_cells.begin() + static_cast<std::ptrdiff_t>(skip), t.first_cells.end());
    if (!labels.empty() && labels != row_labels) {
      builder.refuse({}, "the row labels and the column labels name different items");
    }
    labels = std::move(row_labels);
  }
  builder.finish(end, std::move(labels));
}

}  // namespace

void read_table(text_lines& in, char separator, count_matrix_builder& builder) {
  record_cells cells;
  std::string_view line;
  // The next record's line, and the record split into cells.
  const auto next_line = [&] {
    while (in.next(line)) {
      if (!is_blank(line)) return true;
    }
    return false;
  };
  const auto next_record = [&] {
    if (!next_line()) return false;
    cells.split(in, line, separator);
    return true;
  };
  if (!next_record()) {
    builder.start_rows(0, 0, {});
    builder.finish({});
    return;
  }
  const std::size_t width = cells.size();
  // A line may be as long as a row of the table needs: 64 bytes a cell, and a megabyte more.
  in.limit_length(std::max<std::size_t>(std::size_t{1} << 20, (std::size_t{1} << 20) + 64 * width));
  std::vector<std::string> first_row;
  for (std::size_t k = 0; k < width; ++k) first_row.push_back(label_of(in, cells[k], k + 1));
  const bool corner_empty = width > 1 && first_row[0].empty();
  // A row of labels names every column: one that mixes numbers and words is a row of counts
  // with something wrong in it, refused cell by cell.
  const bool words_past_first = width > 1 && std::none_of(first_row.begin() + 1, first_row.end(), [](const std::string& c) {
    return looks_like_number(trimmed(c));
  });
  const bool header = corner_empty || words_past_first;
  std::uint64_t records = 1;
  const auto check_width = [&] {
    if (cells.size() != width) {
      in.fail(std::to_string(cells.size()) + " cells where the first row has " + std::to_string(width));
    }
  };

  if (header && !next_record()) {
    // Labels and no counts: a square with no rows only if there are no columns either.
    builder.refuse(source_place::at_line(in.number()), "a row of labels and no counts");
  }
  if (header) check_width();
  // A label column is certain if the corner is empty or the first count row starts with a word.
  const bool label_column = header && (corner_empty || !looks_like_number(trimmed(cells[0])));
  if (label_column) {
    // Read in order, a row at a time.
    const std::size_t side = width - 1;
    std::vector<std::string> column_labels(first_row.begin() + 1, first_row.end());
    std::vector<std::string> row_labels;
    builder.start_rows(static_cast<std::int64_t>(side), static_cast<std::int64_t>(side), source_place::at_line(1),
                       column_labels);
    std::vector<std::int32_t> row(side);
    bool split = true;  // the first count row was split already, to find its first cell
    do {
      if (split) {
        check_width();
        row_labels.push_back(label_of(in, cells[0], 1));
        for (std::size_t k = 1; k < width; ++k) row[k - 1] = count_in(builder, in, cells[k], k + 1);
      } else {
        const std::string_view first = read_counts(builder, in, line, separator, cells, width,
                                                   [&](std::size_t k, std::int32_t count) { row[k - 1] = count; });
        row_labels.push_back(label_of(in, first, 1));
      }
      split = false;
      builder.add_row(row);
      ++records;
    } while (next_line());
    if (row_labels != column_labels) builder.refuse({}, "the row labels and the column labels name different items");
    builder.finish(source_place::at_line(in.number()), std::move(column_labels));
    return;
  }
  // Otherwise the first column may be counts or labels (numbers either way): the table is held
  // until its shape tells.
  held_table t;
  t.first_row = std::move(first_row);
  // Keeps a record's first cell (a count or a label, as the layout will say) and its non-zero
  // counts past it.
  const auto hold_first = [&](std::string_view text) {
    t.first_cells.push_back(label_of(in, text, 1));
    std::int32_t first = 0;
    if (const std::string fault = parse_count(trimmed(text), first); !fault.empty()) {
      if (t.first_fault.empty()) t.first_fault = fault, t.first_fault_line = in.number();
      t.first_cells_numeric = t.first_cells_numeric && looks_like_number(trimmed(text));
    }
    t.first_counts.push_back(first);
  };
  const auto hold = [&](std::size_t record) {
    const auto keep = [&](std::size_t k, std::int32_t count) {
      if (count != 0) t.counts.push_back({static_cast<std::int32_t>(record), static_cast<std::int32_t>(k), count});
    };
    hold_first(read_counts(builder, in, line, separator, cells, width, keep));
  };
  if (!header) {
    // The first row: its other cells are in first_row, read as the layout will say.
    hold_first(cells[0]);
    t.first_cells_numeric = looks_like_number(trimmed(cells[0]));
  } else {
    t.first_cells.push_back(t.first_row[0]);
    t.first_counts.push_back(0);
    hold(1);
    ++records;
  }
  while (next_line()) hold(records++);
  hand_on_held(in, t, header, width, records, builder);
}

namespace {

class table_rows final : public row_sink {
 public:
  table_rows(file_stream& out, char separator) : out_(out), separator_(separator) {}
  bool needs_labels_first() const override { return true; }

  void begin(std::size_t side, const std::vector<std::string>& labels) override {
    side_ = side;
    labels_ = labels;
    if (labels_.empty()) return;
    line_.clear();
    for (const std::string& label : labels_) {
      line_ += separator_;
      append_label(label);
    }
    line_ += '\n';
    write_exact(out_, line_.data(), line_.size());
  }

  void row(std::size_t index, std::span<const std::int32_t> counts) override {
    zeros_until(index);
    write_row(index, counts);
    ++next_;
  }

  void end(const std::vector<std::string>&) override { zeros_until(side_); }

 private:
  // Quoted where a reader would otherwise split or unquote it.
  void append_label(const std::string& label) {
    const bool quote = label.find(separator_) != std::string::npos ||
                       (separator_ == ',' ? label.find('"') != std::string::npos : label.rfind('"', 0) == 0);
    if (!quote) {
      line_ += label;
      return;
    }
    line_ += '"';
    for (char c : label) line_ += c == '"' ? std::string("\"\"") : std::string(1, c);
    line_ += '"';
  }

  void write_row(std::size_t index, std::span<const std::int32_t> counts) {
    line_.clear();
    if (!labels_.empty()) {
      append_label(labels_[index]);
      line_ += separator_;
    }
    char number[16];
    for (std::size_t k = 0; k < counts.size(); ++k) {
      if (k > 0) line_ += separator_;
      line_.append(number, std::to_chars(number, number + sizeof number, counts[k]).ptr);
    }
    line_ += '\n';
    write_exact(out_, line_.data(), line_.size());
  }

  void zeros_until(std::size_t index) {
    if (next_ >= index) return;
    const std::vector<std::int32_t> zeros(side_, 0);
    for (; next_ < index; ++next_) write_row(next_, zeros);
  }

  file_stream& out_;
  char separator_;
  std::size_t side_ = 0, next_ = 0;
  std::vector<std::string> labels_;
  std::string line_;
};

}  // namespace

std::unique_ptr<row_sink> table_writer(file_stream& out, char separator) {
  return std::make_unique<table_rows>(out, separator);
}

}  // namespace tornavel
