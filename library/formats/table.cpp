// CSV and TSV tables of counts, as spreadsheets, pandas, NumPy and Python's csv module write
// them: cells as RFC 4180 has them (quoted where they hold the separator or quotes, spaces
// kept), LF, CRLF or CR line ends, an optional UTF-8 byte-order mark, and optional labels: a
// first row naming the columns, a first column naming the rows, or both, with an empty corner
// cell or the index's name over the labels as pandas writes them.
//
// Which of the first row and column are labels is told by the table's shape first and its
// cells second (decide_layout), or by the caller. An empty corner says both at once; otherwise
// a first pass reads only the first cell of each record, and a second reads the counts, a
// record at a time, so a table of any layout is held as one row and its labels. A pipe is kept
// (as its bytes) for the second pass; a file is read again.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

#include "formats/formats.h"
#include "formats/count_text.h"
#include "model/shape.h"
#include "files/file_error.h"

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

// A line may be as long as a row of the table needs: 64 bytes a cell, and a megabyte more.
std::size_t most_line_for(std::size_t width) { return (std::size_t{1} << 20) + 64 * width; }

// The count in a cell, at once for the usual few digits.
std::int32_t count_in(const count_matrix_builder& builder, const text_lines& in, std::string_view text,
                      std::size_t cell) {
  if (const std::int32_t plain = plain_count(text); plain >= 0) return plain;
  return builder.count_of(trimmed(text), source_place::at_line(in.number(), cell));
}

// Reads a record's counts from cell 1 on, calling take(k, count) for each cell k, and returns
// its first cell's text. A line without quotes, the usual one, is read where it lies.
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
    while (stop < line.size() && line[stop] != separator) ++stop;
    if (k == 0) {
      first = line.substr(at, stop - at);
    } else if (k < width) {
      take(k, count_in(builder, in, line.substr(at, stop - at), k + 1));
    }
    if (stop == line.size()) break;
    at = stop + 1;
  }
  if (k + 1 != width) in.fail(std::to_string(k + 1) + " cells where the first row has " + std::to_string(width));
  return first;
}

// What one pass over a table learns of its layout: its first row, the first cell of every
// record after it, and the number of records.
struct table_survey {
  std::vector<std::string> first_row;
  std::vector<std::string> first_cells;  // of records 2, 3, ...
  std::uint64_t records = 0;
};

// Whether text is UTF-8 without control characters: what a label may hold.
bool is_clean_utf8(std::string_view t) {
  for (std::size_t i = 0; i < t.size();) {
    const auto c = static_cast<unsigned char>(t[i]);
    if (c < 0x20 || c == 0x7f) return false;
    const std::size_t more = c < 0x80 ? 0 : (c & 0xe0) == 0xc0 ? 1 : (c & 0xf0) == 0xe0 ? 2 : (c & 0xf8) == 0xf0 ? 3 : 9;
    if (more == 9 || i + more >= t.size() + (more == 0 ? 1 : 0)) return false;
    for (std::size_t j = 1; j <= more; ++j) {
      if ((static_cast<unsigned char>(t[i + j]) & 0xc0) != 0x80) return false;
    }
    i += more + 1;
  }
  return true;
}

// Whether a cell reads as an item's name: text that is not a number, in UTF-8, without control
// characters or quotes. A cell that is neither a name nor a number ("0x10", an empty cell, a NUL
// byte) tells nothing of the layout, and is refused as a count where one is read.
bool is_word(const std::string& cell) {
  const std::string_view t = trimmed(cell);
  const bool hexadecimal = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  return !t.empty() && !hexadecimal && !looks_like_number(t) && t.find('"') == std::string_view::npos &&
         is_clean_utf8(t);
}

// Whether numeric cells could be item ids: whole numbers, each once. Numbers that could not
// (2.5, a repeat) are counts, refused as such if they are not.
bool are_ids(std::span<const std::string> cells) {
  std::vector<std::int32_t> ids(cells.size());
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (!parse_count(trimmed(cells[i]), ids[i]).empty()) return false;
  }
  std::sort(ids.begin(), ids.end());
  return std::adjacent_find(ids.begin(), ids.end()) == ids.end();
}

bool any_word(std::span<const std::string> cells) { return std::any_of(cells.begin(), cells.end(), is_word); }

// "no" where the two name the same items in the same order; else why not, naming the first pair
// that differs (or an item only one side has).
std::string label_mismatch(const std::vector<std::string>& rows, const std::vector<std::string>& columns) {
  if (rows == columns) return "";
  std::vector<std::string> a = rows, b = columns;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  if (a == b) {
    std::size_t i = 0;
    while (rows[i] == columns[i]) ++i;
    return "the row labels name the column labels' items in another order: row " + std::to_string(i + 1) +
           " is " + shown_text(rows[i]) + ", column " + std::to_string(i + 1) + " is " + shown_text(columns[i]) +
           " (a count matrix names its rows and columns in one order)";
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!std::binary_search(b.begin(), b.end(), rows[i])) {
      return "the row labels and the column labels name different items: row " + std::to_string(i + 1) + "'s " +
             shown_text(rows[i]) + " names no column";
    }
  }
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (!std::binary_search(a.begin(), a.end(), columns[i])) {
      return "the row labels and the column labels name different items: column " + std::to_string(i + 1) + "'s " +
             shown_text(columns[i]) + " names no row";
    }
  }
  return "the row labels and the column labels name different items (a label is repeated)";
}

// Decides which of the first row and the first column are labels, from the shape first (n + 1
// records of n + 1 cells have both, n + 1 of n a header, n of n + 1 a column of labels, n of n
// neither), then from the cells: labels are words or ids, and counts hold no words. Where the
// shape allows both or neither, both needs something to say so (the corner holding the index's
// name, as pandas writes it, or words) and labels that agree, unless words on both sides make
// their disagreement worth refusing by name. A numeric row or column is counts wherever the
// shape allows, so no count is dropped as a label. Where no layout makes a square, the one the
// cells suggest: reading it finds the first fault, or says the table is not square.
table_layout decide_layout(const table_survey& t, const table_layout& given) {
  const std::size_t width = t.first_row.size();
  const std::span<const std::string> row(t.first_row), row_past_corner = row.subspan(1);
  std::vector<std::string> column{t.first_row[0]};  // the first column, corner included
  column.insert(column.end(), t.first_cells.begin(), t.first_cells.end());
  const std::span<const std::string> column_past_corner = std::span<const std::string>(column).subspan(1);
  const auto could_be_labels = [](std::span<const std::string> cells) { return any_word(cells) || are_ids(cells); };
  const auto fits = [&](bool h, bool i) {
    if (given.header.value_or(h) != h || given.index.value_or(i) != i) return false;
    if (t.records - h != width - i || (h && t.records == 1)) return false;
    if (given.header && given.index) return true;
    const std::span<const std::string> header = i ? row_past_corner : row;
    const std::span<const std::string> index = h ? column_past_corner : std::span<const std::string>(column);
    if (!given.header && (h ? !could_be_labels(header) : any_word(header))) return false;
    if (!given.index && (i ? !could_be_labels(index) : any_word(index))) return false;
    if (h && i) {
      if (!is_word(t.first_row[0]) && !any_word(header) && !any_word(index)) return false;
      std::vector<std::string> a(header.begin(), header.end()), b(index.begin(), index.end());
      std::sort(a.begin(), a.end());
      std::sort(b.begin(), b.end());
      if (a != b && !(any_word(header) && any_word(index))) return false;
    }
    return true;
  };
  if (fits(true, true)) return {true, true};
  for (const bool h : {false, true}) {
    for (const bool i : {false, true}) {
      if (fits(h, i)) return {h, i};
    }
  }
  return {given.header.value_or(any_word(row_past_corner)), given.index.value_or(any_word(column_past_corner))};
}

// Reads records after the first, calling each(line) for every one that is not blank.
template <typename F>
void for_each_record(text_lines& in, F&& each) {
  std::string_view line;
  while (in.next(line)) {
    if (!is_blank(line)) each(line);
  }
}

// The first cell of a record, as text (unquoted where quoted).
std::string first_cell_of(const text_lines& in, std::string_view line, char separator, record_cells& cells) {
  if (!line.empty() && line[0] == '"') {
    cells.split(in, line, separator);
    return std::string(cells[0]);
  }
  return std::string(line.substr(0, std::min(line.find(separator), line.size())));
}

// Reads the table in the layout decided, a record at a time, into the builder.
void stream_table(text_lines& in, char separator, const table_layout& layout, const table_survey& t,
                  count_matrix_builder& builder) {
  const bool header = *layout.header, index = *layout.index;
  const std::size_t width = t.first_row.size();
  const std::size_t side = width - (index ? 1 : 0);
  record_cells cells;
  std::vector<std::string> row_labels;
  std::vector<std::int32_t> row(side);
  std::size_t builder_rows = 0;  // records of counts read
  const std::size_t skip = index ? 1 : 0;
  const auto take = [&](std::size_t k, std::int32_t count) { row[k - skip] = count; };
  const auto add_record = [&](std::string_view line) {
    const std::string_view first = read_counts(builder, in, line, separator, cells, width, take);
    if (index) {
      row_labels.push_back(label_of(in, first, 1));
    } else {
      row[0] = count_in(builder, in, first, 1);
    }
    if (builder_rows++ < side) builder.add_row(row);
  };
  std::string_view line;
  while (in.next(line) && is_blank(line)) {
  }
  std::vector<std::string> column_labels;
  for (std::size_t k = skip; header && k < width; ++k) column_labels.push_back(label_of(in, t.first_row[k], k + 1));
  std::optional<std::vector<std::string>> labels_now = column_labels;
  if (!header && index) labels_now.reset();  // they come at the end
  builder.start_rows(static_cast<std::int64_t>(side), static_cast<std::int64_t>(side), source_place::at_line(1),
                     labels_now);
  if (!header) add_record(line);
  for_each_record(in, add_record);
  // A table of no square layout is refused here, after any fault in its cells.
  const std::size_t rows = builder_rows;
  if (rows != side) {
    builder.refuse(source_place::at_line(in.number()),
                   not_square(static_cast<std::int64_t>(rows), static_cast<std::int64_t>(side)) +
                       " (--header and --index, yes or no, say which of the first row and column are labels)");
  }
  if (header && index && row_labels.size() == column_labels.size()) {
    if (const std::string why = label_mismatch(row_labels, column_labels); !why.empty()) builder.refuse({}, why);
  }
  builder.finish(source_place::at_line(in.number()), index ? std::move(row_labels) : std::move(column_labels));
}

}  // namespace

void read_table(input_bytes& bytes, char separator, const table_layout& given, count_matrix_builder& builder) {
  bytes.keep_for_rereading();
  table_survey t;
  record_cells cells;
  {
    text_lines in(bytes);
    std::string_view line;
    while (in.next(line) && is_blank(line)) {
    }
    if (is_blank(line)) {
      builder.start_rows(0, 0, {});
      builder.finish({});
      return;
    }
    cells.split(in, line, separator);
    for (std::size_t k = 0; k < cells.size(); ++k) t.first_row.emplace_back(cells[k]);
    t.records = 1;
    const bool corner_empty = t.first_row.size() > 1 && t.first_row[0].empty();
    const bool certain = (given.header && given.index) || (corner_empty && !given.header && !given.index);
    if (certain) {
      table_layout layout = given;
      if (!layout.header) layout = {true, true};
      bytes.reread();
      text_lines again(bytes);
      again.limit_length(most_line_for(t.first_row.size()));
      return stream_table(again, separator, layout, t, builder);
    }
    in.limit_length(most_line_for(t.first_row.size()));
    for_each_record(in, [&](std::string_view record) {
      t.first_cells.push_back(first_cell_of(in, record, separator, cells));
      ++t.records;
    });
  }
  const table_layout layout = decide_layout(t, given);
  if (*layout.header && t.records == 1) {
    builder.refuse(source_place::at_line(1), "a row of labels and no counts");
  }

  bytes.reread();
  text_lines in(bytes);
  in.limit_length(most_line_for(t.first_row.size()));
  stream_table(in, separator, layout, t, builder);
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
