#include "tool/convert_formats.h"

#include <algorithm>
#include <bit>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>
#include <unordered_map>

namespace tornavel {
namespace {

constexpr std::int64_t largest_count = 2147483647;

// Lines of a text input, read a large piece at a time, counted for messages.
class text_reader {
 public:
  text_reader(std::FILE* stream, std::string name) : stream_(stream), name_(std::move(name)) {}

  // The next line without its end ("\n" or "\r\n"), valid until the next call; false at the end.
  bool next_line(std::string_view& line) {
    for (;;) {
      const auto newline = static_cast<const char*>(
          std::memchr(buffer_.data() + start_, '\n', end_ - start_));
      if (newline != nullptr || (eof_ && start_ < end_)) {
        const std::size_t stop = newline != nullptr
                                     ? static_cast<std::size_t>(newline - buffer_.data())
                                     : end_;
        line = std::string_view(buffer_.data() + start_, stop - start_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        start_ = std::min(stop + 1, end_);
        ++line_number_;
        return true;
      }
      if (eof_) return false;
      fill();
    }
  }

  std::size_t line_number() const { return line_number_; }
  const std::string& name() const { return name_; }

  [[noreturn]] void fail(const std::string& reason) const {
    throw file_error(name_, "line " + std::to_string(line_number_) + ": " + reason);
  }

 private:
  void fill() {
    std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
    if (end_ == buffer_.size()) buffer_.resize(2 * buffer_.size());  // a line longer than it
    const std::size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, stream_);
    if (got == 0 && std::ferror(stream_)) throw file_error::from_errno(name_, errno);
    end_ += got;
    eof_ = got == 0;
  }

  std::FILE* stream_;
  std::string name_;
  std::vector<char> buffer_ = std::vector<char>(std::size_t{1} << 20);
  std::size_t start_ = 0, end_ = 0, line_number_ = 0;
  bool eof_ = false;
};

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return "";
  return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// A square matrix being filled: checks the size as it is declared or found.
count_matrix square_matrix(const text_reader& in, std::int64_t rows, std::int64_t columns) {
  if (rows != columns) {
    in.fail("matrix is not square (" + std::to_string(rows) + " rows, " +
            std::to_string(columns) + " columns)");
  }
  if (rows > largest_count) in.fail("matrix has more than 2^31 - 1 rows");
  count_matrix m;
  m.columns = m.rows = static_cast<std::int32_t>(rows);
  m.counts.assign(static_cast<std::size_t>(rows) * static_cast<std::size_t>(rows), 0);
  return m;
}

// Adds value to a count, refusing a sum beyond 2^31 - 1.
void add_to(std::int32_t& count, std::int32_t value, const text_reader& in, std::int64_t row,
            std::int64_t column) {
  if (__builtin_add_overflow(count, value, &count)) {
    in.fail("repeated entries at (" + std::to_string(row) + ", " + std::to_string(column) +
            ") add up beyond 2^31 - 1");
  }
}

void finish(count_matrix& m) {
  std::int32_t largest = 0;
  for (std::int32_t x : m.counts) largest = std::max(largest, x);
  m.largest_count = largest;
}

// ---- CSV and TSV --------------------------------------------------------------------------

// Splits a record that starts with line into cells; for CSV, quoted cells as RFC 4180 has them,
// so that a record may take several lines.
void split_record(text_reader& in, std::string_view line, char separator,
                  std::vector<std::string>& cells) {
  cells.clear();
  std::string cell;
  bool quoted = false, was_quoted = false;
  for (;;) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (quoted) {
        if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
          cell += '"';
          ++i;
        } else if (c == '"') {
          quoted = false;
        } else {
          cell += c;
        }
      } else if (c == separator) {
        cells.push_back(was_quoted ? cell : trimmed(cell));
        cell.clear();
        was_quoted = false;
      } else if (c == '"' && separator == ',' && trimmed(cell).empty()) {
        quoted = was_quoted = true;
        cell.clear();
      } else {
        cell += c;
      }
    }
    if (!quoted) break;
    if (!in.next_line(line)) in.fail("a quoted cell is not closed");
    cell += '\n';
  }
  cells.push_back(was_quoted ? cell : trimmed(cell));
}

std::string_view trimmed_view(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool is_count(const std::string& cell) {
  std::int32_t ignored;
  return parse_count(cell, ignored).empty();
}

// Appends the counts of a row's cells from the first_count-th on.
void append_counts(const text_reader& in, const std::vector<std::string>& cells,
                   std::size_t first_count, uninitialized_counts& counts) {
  for (std::size_t k = first_count; k < cells.size(); ++k) {
    std::int32_t count;
    if (const std::string fault = parse_count(cells[k], count); !fault.empty()) {
      in.fail("cell " + std::to_string(k + 1) + ": " + fault);
    }
    counts.push_back(count);
  }
}

labelled_matrix read_table(file_stream& stream, char separator) {
  const std::string& name = stream.name();
  text_reader in(stream.get(), name);
  std::vector<std::string> cells;
  uninitialized_counts counts;
  std::vector<std::string> header, column_labels, row_labels;
  bool label_column = false;
  std::size_t width = 0, rows = 0;
  std::string_view line;
  while (in.next_line(line)) {
    if (trimmed_view(line).empty()) continue;  // a blank line
    if (rows > 0 && (separator == '\t' || line.find('"') == std::string_view::npos)) {
      // The common case, without quotes: cells parsed where they lie.
      std::size_t cell = 0;
      for (std::size_t at = 0;; ++cell) {
        // Most cells are a few digits and nothing else: read them at once.
        std::size_t stop = at;
        std::uint64_t digits = 0;
        while (stop < line.size() && line[stop] >= '0' && line[stop] <= '9' && stop - at < 10) {
          digits = digits * 10 + static_cast<std::uint64_t>(line[stop] - '0');
          ++stop;
        }
        const bool plain = stop > at && (stop == line.size() || line[stop] == separator) &&
                           digits <= largest_count && (cell > 0 || !label_column) && cell < width;
        if (plain) {
          counts.push_back(static_cast<std::int32_t>(digits));
          if (stop == line.size()) break;
          at = stop + 1;
          continue;
        }
        while (stop < line.size() && line[stop] != separator) ++stop;
        const std::string_view text = trimmed_view(line.substr(at, stop - at));
        if (cell >= width) {
          // Too many: counted, then refused below.
        } else if (cell == 0 && label_column) {
          row_labels.emplace_back(text);
        } else {
          std::int32_t count;
          if (const std::string fault = parse_count(text, count); !fault.empty()) {
            in.fail("cell " + std::to_string(cell + 1) + ": " + fault);
          }
          counts.push_back(count);
        }
        if (stop == line.size()) break;
        at = stop + 1;
      }
      if (cell + 1 != width) {
        in.fail(std::to_string(cell + 1) + " cells where the first row has " +
                std::to_string(width));
      }
      ++rows;
      continue;
    }
    split_record(in, line, separator, cells);
    if (rows == 0 && header.empty() && !std::all_of(cells.begin() + 1, cells.end(), is_count)) {
      header = cells;  // a first row whose cells (past the first) are not all counts
      continue;
    }
    if (rows == 0) {
      // The first row of counts tells whether a column of labels stands before them, and so
      // whether a header row has a corner cell over that column.
      label_column = !is_count(cells[0]);
      width = cells.size();
      if (!header.empty()) {
        if (header.size() != width) {
          in.fail(std::to_string(cells.size()) + " cells where the first row has " +
                  std::to_string(header.size()));
        }
        column_labels.assign(header.begin() + (label_column ? 1 : 0), header.end());
      }
    }
    if (cells.size() != width) {
      in.fail(std::to_string(cells.size()) + " cells where the first row has " +
              std::to_string(width));
    }
    if (label_column) row_labels.push_back(cells[0]);
    // A square table has as many rows as columns: room for them all, once.
    if (rows == 0) counts.reserve((width - (label_column ? 1 : 0)) * (width - (label_column ? 1 : 0)));
    append_counts(in, cells, label_column ? 1 : 0, counts);
    ++rows;
  }
  const std::size_t columns = width == 0 ? 0 : width - (label_column ? 1 : 0);
  if (rows != columns) {
    in.fail("matrix is not square (" + std::to_string(rows) + " rows, " +
            std::to_string(columns) + " columns)");
  }
  labelled_matrix out;
  out.matrix.columns = out.matrix.rows = static_cast<std::int32_t>(rows);
  out.matrix.counts = std::move(counts);
  finish(out.matrix);
  if (!column_labels.empty() && !row_labels.empty() && column_labels != row_labels) {
    throw file_error(name, "the row labels and the column labels name different items");
  }
  out.labels = !column_labels.empty() ? column_labels : row_labels;
  return out;
}

std::string csv_cell(const std::string& text) {
  if (text.find_first_of(",\"\n\r") == std::string::npos && trimmed(text) == text) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

void write_table(file_stream& out, const labelled_matrix& m, char separator) {
  const auto n = static_cast<std::size_t>(m.matrix.columns);
  const bool labelled = !m.labels.empty();
  const auto cell = [&](const std::string& text) {
    return separator == ',' ? csv_cell(text) : text;
  };
  std::string line;
  if (labelled) {
    for (std::size_t k = 0; k < n; ++k) line += separator + cell(m.labels[k]);
    line += '\n';
    write_exact(out, line.data(), line.size());
  }
  for (std::size_t r = 0; r < m.matrix.stored_rows(); ++r) {
    line.clear();
    if (labelled) line += cell(m.labels[r]) + separator;
    char number[16];
    for (std::size_t k = 0; k < n; ++k) {
      if (k > 0) line += separator;
      line.append(number, std::to_chars(number, number + sizeof number, m.matrix.at(r, k)).ptr);
    }
    line += '\n';
    write_exact(out, line.data(), line.size());
  }
}

// ---- Matrix Market ------------------------------------------------------------------------

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Splits a line at blanks into words, reusing the vector's room.
void split_words(std::string_view line, std::vector<std::string_view>& words) {
  words.clear();
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at == line.size()) break;
    const std::size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
    words.push_back(line.substr(start, at - start));
  }
}

std::int64_t parse_index(const text_reader& in, std::string_view text, const char* what) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) {
    in.fail(std::string(what) + " is not a whole number: " + std::string(text));
  }
  return value;
}

labelled_matrix read_matrix_market(file_stream& stream) {
  const std::string& name = stream.name();
  text_reader in(stream.get(), name);
  std::string_view line;
  if (!in.next_line(line)) throw file_error(name, "file is empty");
  std::vector<std::string_view> banner;
  split_words(line, banner);
  if (banner.size() != 5 || lower(std::string(banner[0])) != "%%matrixmarket" ||
      lower(std::string(banner[1])) != "matrix") {
    in.fail("not a Matrix Market header (%%MatrixMarket matrix FORMAT FIELD SYMMETRY)");
  }
  const std::string layout = lower(std::string(banner[2]));
  const std::string field = lower(std::string(banner[3]));
  const std::string symmetry = lower(std::string(banner[4]));
  if (layout != "coordinate" && layout != "array") in.fail("unknown format " + layout);
  if (field == "complex") in.fail("complex values are not counts");
  if (field != "integer" && field != "real" && field != "pattern") in.fail("unknown field " + field);
  if (symmetry == "skew-symmetric") in.fail("a skew-symmetric matrix has negative counts");
  if (symmetry == "hermitian") in.fail("a hermitian matrix has complex values");
  if (symmetry != "general" && symmetry != "symmetric") in.fail("unknown symmetry " + symmetry);
  if (field == "pattern" && layout == "array") in.fail("a pattern matrix must be in coordinate format");

  const auto next_data_line = [&](std::vector<std::string_view>& words) {
    while (in.next_line(line)) {
      if (!line.empty() && line[0] == '%') continue;
      split_words(line, words);
      if (!words.empty()) return true;
    }
    return false;
  };
  std::vector<std::string_view> words;
  if (!next_data_line(words)) in.fail("the size line is missing");
  const bool coordinate = layout == "coordinate";
  if (words.size() != (coordinate ? 3u : 2u)) {
    in.fail(coordinate ? "the size line must give rows, columns and entries"
                       : "the size line must give rows and columns");
  }
  const std::int64_t rows = parse_index(in, words[0], "the number of rows");
  const std::int64_t columns = parse_index(in, words[1], "the number of columns");
  labelled_matrix out;
  out.matrix = square_matrix(in, rows, columns);
  const auto n = static_cast<std::size_t>(rows);
  const bool symmetric = symmetry == "symmetric";
  const auto put = [&](std::int64_t r, std::int64_t k, std::int32_t value) {
    add_to(out.matrix.counts[static_cast<std::size_t>(r) * n + static_cast<std::size_t>(k)], value,
           in, r + 1, k + 1);
    if (symmetric && r != k) {
      add_to(out.matrix.counts[static_cast<std::size_t>(k) * n + static_cast<std::size_t>(r)],
             value, in, k + 1, r + 1);
    }
  };
  const auto value_of = [&](std::string_view text) {
    std::int32_t count;
    if (const std::string fault = parse_count(text, count); !fault.empty()) in.fail(fault);
    return count;
  };

  std::int64_t entries = 0;
  if (coordinate) {
    const std::int64_t declared = parse_index(in, words[2], "the number of entries");
    const std::size_t fields = field == "pattern" ? 2 : 3;
    while (next_data_line(words)) {
      if (words.size() != fields) {
        in.fail(std::to_string(words.size()) + " fields where an entry has " +
                std::to_string(fields));
      }
      const std::int64_t r = parse_index(in, words[0], "a row index");
      const std::int64_t k = parse_index(in, words[1], "a column index");
      if (r < 1 || r > rows || k < 1 || k > columns) {
        in.fail("entry (" + std::to_string(r) + ", " + std::to_string(k) +
                ") lies outside the declared " + std::to_string(rows) + " x " +
                std::to_string(columns));
      }
      if (symmetric && k > r) in.fail("a symmetric matrix lists only entries on or below the diagonal");
      put(r - 1, k - 1, field == "pattern" ? 1 : value_of(words[2]));
      ++entries;
    }
    if (entries != declared) {
      throw file_error(name, std::to_string(entries) + " entries where the header says " +
                                 std::to_string(declared));
    }
  } else {
    // Column by column; a symmetric one gives each column from the diagonal down.
    std::int64_t r = 0, k = 0;
    const std::int64_t expected = symmetric ? rows * (rows + 1) / 2 : rows * columns;
    while (next_data_line(words)) {
      for (std::string_view word : words) {
        if (entries == expected) in.fail("more values than the declared size holds");
        put(r, k, value_of(word));
        ++entries;
        if (++r == rows) {
          ++k;
          r = symmetric ? k : 0;
        }
      }
    }
    if (entries != expected) {
      throw file_error(name, std::to_string(entries) + " values where the size gives " +
                                 std::to_string(expected));
    }
  }
  finish(out.matrix);
  return out;
}

// The side of the square the formats other than .frq write: a matrix without counts (0 columns
// and some rows, or the other way round) is written as 0 x 0, which their readers take back.
std::size_t square_side(const labelled_matrix& m) { return m.matrix.stored_rows(); }

void write_matrix_market(file_stream& out, const labelled_matrix& m) {
  const std::size_t n = square_side(m);
  std::size_t nonzero = 0;
  for (std::int32_t x : m.matrix.counts) nonzero += x != 0;
  std::string text = "%%MatrixMarket matrix coordinate integer general\n" + std::to_string(n) +
                     " " + std::to_string(n) + " " + std::to_string(nonzero) + "\n";
  const auto append = [&text](auto number, char after) {
    char digits[24];
    text.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
    text += after;
  };
  for (std::size_t r = 0; r < m.matrix.stored_rows(); ++r) {
    const std::int32_t* row = m.matrix.counts.data() + r * n;
    for (std::size_t k = 0; k < n; ++k) {
      if (row[k] == 0) continue;
      append(r + 1, ' ');
      append(k + 1, ' ');
      append(row[k], '\n');
    }
    if (text.size() > (std::size_t{1} << 20)) {
      write_exact(out, text.data(), text.size());
      text.clear();
    }
  }
  write_exact(out, text.data(), text.size());
}

// ---- NumPy .npy ---------------------------------------------------------------------------

// The value of a header dictionary's key, as text.
std::string header_value(const std::string& header, const std::string& key,
                         const std::string& name) {
  const std::size_t at = header.find("'" + key + "'");
  if (at == std::string::npos) throw file_error(name, "the .npy header has no '" + key + "'");
  const auto malformed = [&] { return file_error(name, "the .npy header is not a dictionary"); };
  std::size_t start = header.find(':', at);
  if (start == std::string::npos) throw malformed();
  start = header.find_first_not_of(' ', start + 1);
  if (start == std::string::npos) throw malformed();
  std::size_t stop;
  if (header[start] == '(' || header[start] == '\'') {
    stop = header.find(header[start] == '(' ? ')' : '\'', start + 1);
    if (stop == std::string::npos) throw malformed();
    ++stop;
  } else {
    stop = header.find_first_of(",}", start);
    if (stop == std::string::npos) throw malformed();
  }
  return header.substr(start, stop - start);
}

labelled_matrix read_npy(file_stream& in) {
  const std::string& name = in.name();
  std::array<unsigned char, 10> start;
  if (read_up_to(in, start.data(), 8) != 8 || std::memcmp(start.data(), "\x93NUMPY", 6) != 0) {
    throw file_error(name, "not a .npy file (no \\x93NUMPY magic)");
  }
  const int major = start[6];
  std::size_t header_length;
  if (major == 1) {
    read_exact(in, start.data() + 8, 2, "file ends in the .npy header");
    header_length = start[8] | start[9] << 8;
  } else if (major == 2 || major == 3) {
    unsigned char length[4];
    read_exact(in, length, 4, "file ends in the .npy header");
    header_length = length[0] | length[1] << 8 | length[2] << 16 | std::size_t{length[3]} << 24;
  } else {
    throw file_error(name, ".npy format version " + std::to_string(major) + " is not 1, 2 or 3");
  }
  std::string header(header_length, '\0');
  read_exact(in, header.data(), header.size(), "file ends in the .npy header");
  const std::string descr = header_value(header, "descr", name);
  const bool fortran = header_value(header, "fortran_order", name) == "True";
  const std::string shape = header_value(header, "shape", name);
  std::int64_t rows = -1, columns = -1;
  if (std::sscanf(shape.c_str(), "(%lld, %lld)", reinterpret_cast<long long*>(&rows),
                  reinterpret_cast<long long*>(&columns)) != 2 ||
      std::count(shape.begin(), shape.end(), ',') > 1 + (shape.find(",)") != std::string::npos)) {
    throw file_error(name, "the array is not 2-D (shape " + shape + ")");
  }
  if (descr.size() < 5 || descr.front() != '\'' || descr.back() != '\'') {
    throw file_error(name, "unsupported dtype " + descr);
  }
  const char order = descr[1];
  const char kind = descr[2];
  const int size = std::atoi(descr.c_str() + 3);
  const bool little = order == '<' || order == '|' || (order == '=' && host_is_little_endian);
  const bool known = ((kind == 'i' || kind == 'u') && (size == 1 || size == 2 || size == 4 || size == 8)) ||
                     (kind == 'b' && size == 1) || (kind == 'f' && (size == 4 || size == 8));
  if (!known) {
    throw file_error(name, "unsupported dtype " + descr + " (integers, booleans, float32, float64)");
  }
  if (rows != columns) {
    throw file_error(name, "matrix is not square (" + std::to_string(rows) + " rows, " +
                               std::to_string(columns) + " columns)");
  }
  if (rows > largest_count) {
    throw file_error(name, "matrix has more than 2^31 - 1 rows");
  }
  const auto n = static_cast<std::size_t>(rows);
  // The shape is checked against the length, where there is one, before it sizes anything.
  if (stream_is_seekable(in)) {
    const off_t here = ftello(in.get());
    if (fseeko(in.get(), 0, SEEK_END) == 0) {
      const off_t end = ftello(in.get());
      if (end - here < static_cast<off_t>(n * n * static_cast<std::size_t>(size))) {
        throw file_error(name, "file is shorter than its shape says");
      }
      fseeko(in.get(), here, SEEK_SET);
    }
  }
  labelled_matrix out;
  out.matrix.columns = out.matrix.rows = static_cast<std::int32_t>(rows);
  out.matrix.counts.resize(n * n);
  const auto refuse = [&](std::size_t at, const char* fault) {
    const std::size_t r = fortran ? at % n : at / n, k = fortran ? at / n : at % n;
    throw file_error(name, "element (" + std::to_string(r) + ", " + std::to_string(k) + "): " + fault);
  };
  const auto store = [&](std::size_t at, std::int32_t value) {
    out.matrix.counts[fortran ? (at % n) * n + at / n : at] = value;
  };
  if (kind == 'i' && size == 4 && little == host_is_little_endian && !fortran) {
    // The tool's own layout: read where it belongs, then checked.
    read_exact(in, out.matrix.counts.data(), n * n * 4, "file is shorter than its shape says");
    const auto negative = std::find_if(out.matrix.counts.begin(), out.matrix.counts.end(),
                                       [](std::int32_t x) { return x < 0; });
    if (negative != out.matrix.counts.end()) {
      refuse(static_cast<std::size_t>(negative - out.matrix.counts.begin()), "negative value");
    }
    finish(out.matrix);
    return out;
  }
  // Any other dtype, a piece at a time, each element widened and checked.
  const auto convert_all = [&](auto sample) {
    using element = decltype(sample);
    constexpr std::size_t piece_elements = 65536;
    std::vector<element> piece(piece_elements);
    for (std::size_t at = 0; at < n * n;) {
      const std::size_t count = std::min(piece_elements, n * n - at);
      read_exact(in, piece.data(), count * sizeof(element), "file is shorter than its shape says");
      for (std::size_t i = 0; i < count; ++i, ++at) {
        element value = piece[i];
        if (sizeof(element) > 1 && little != host_is_little_endian) {
          auto bytes = std::bit_cast<std::array<unsigned char, sizeof(element)>>(value);
          std::reverse(bytes.begin(), bytes.end());
          value = std::bit_cast<element>(bytes);
        }
        if constexpr (std::is_floating_point_v<element>) {
          if (!std::isfinite(value)) refuse(at, "not a number");
          if (value < 0) refuse(at, "negative value");
          if (value != std::floor(value)) refuse(at, "fractional value");
          if (value > static_cast<element>(largest_count)) refuse(at, "value beyond 2^31 - 1");
        } else {
          if constexpr (std::is_signed_v<element>) {
            if (value < 0) refuse(at, "negative value");
          }
          if (static_cast<std::uint64_t>(value) > static_cast<std::uint64_t>(largest_count)) {
            refuse(at, "value beyond 2^31 - 1");
          }
        }
        store(at, static_cast<std::int32_t>(value));
      }
    }
  };
  switch (kind == 'f' ? size + 100 : kind == 'u' || kind == 'b' ? size + 200 : size) {
    case 1: convert_all(std::int8_t{}); break;
    case 2: convert_all(std::int16_t{}); break;
    case 4: convert_all(std::int32_t{}); break;
    case 8: convert_all(std::int64_t{}); break;
    case 201: convert_all(std::uint8_t{}); break;
    case 202: convert_all(std::uint16_t{}); break;
    case 204: convert_all(std::uint32_t{}); break;
    case 208: convert_all(std::uint64_t{}); break;
    case 104: convert_all(float{}); break;
    case 108: convert_all(double{}); break;
  }
  finish(out.matrix);
  return out;
}

void write_npy(file_stream& out, const labelled_matrix& m) {
  const std::size_t n = square_side(m);
  std::string header = "{'descr': '<i4', 'fortran_order': False, 'shape': (" +
                       std::to_string(n) + ", " + std::to_string(n) + "), }";
  // Magic, version and length take 10 bytes; the data starts on a 64-byte boundary.
  header.append(63 - (10 + header.size()) % 64, ' ');
  header += '\n';
  const unsigned char start[10] = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0,
                                   static_cast<unsigned char>(header.size()),
                                   static_cast<unsigned char>(header.size() >> 8)};
  write_exact(out, start, sizeof start);
  write_exact(out, header.data(), header.size());
  write_words(out, m.matrix.counts);
}

// ---- Pairs --------------------------------------------------------------------------------

labelled_matrix read_pairs(file_stream& stream) {
  text_reader in(stream.get(), stream.name());
  std::unordered_map<std::string, std::int32_t> index;
  std::vector<std::string> labels;
  std::unordered_map<std::uint64_t, std::int32_t> cells;
  const auto item = [&](std::string_view word) {
    const auto [it, added] = index.emplace(std::string(word), static_cast<std::int32_t>(labels.size()));
    if (added) labels.emplace_back(word);
    return static_cast<std::uint64_t>(it->second);
  };
  std::string_view line;
  std::vector<std::string_view> words;
  while (in.next_line(line)) {
    split_words(line, words);
    if (words.empty() || words[0][0] == '#') continue;
    if (words.size() != 2 && words.size() != 3) {
      in.fail(std::to_string(words.size()) + " fields where a pair has ROW COLUMN [COUNT]");
    }
    std::int32_t count = 1;
    if (words.size() == 3) {
      if (const std::string fault = parse_count(words[2], count); !fault.empty()) in.fail(fault);
    }
    const std::uint64_t r = item(words[0]);
    const std::uint64_t k = item(words[1]);
    add_to(cells[r << 32 | k], count, in, static_cast<std::int64_t>(r) + 1,
           static_cast<std::int64_t>(k) + 1);
  }
  labelled_matrix out;
  const auto n = static_cast<std::int64_t>(labels.size());
  out.matrix = square_matrix(in, n, n);
  for (const auto& [at, count] : cells) {
    out.matrix.counts[(at >> 32) * static_cast<std::size_t>(n) + (at & 0xffffffffu)] = count;
  }
  finish(out.matrix);
  out.labels = std::move(labels);
  return out;
}

}  // namespace

std::optional<matrix_format> format_named(const std::string& name) {
  static const std::pair<const char*, matrix_format> names[] = {
      {"frq", matrix_format::frq}, {"csv", matrix_format::csv}, {"tsv", matrix_format::tsv},
      {"mtx", matrix_format::mtx}, {"npy", matrix_format::npy}, {"pairs", matrix_format::pairs}};
  for (const auto& [text, format] : names) {
    if (name == text) return format;
  }
  return std::nullopt;
}

std::optional<matrix_format> format_of_path(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return std::nullopt;
  return format_named(path.substr(dot + 1));
}

std::string parse_count(std::string_view text, std::int32_t& count) {
  if (text.empty()) return "empty cell";
  std::int64_t whole = 0;
  const char* begin = text.data() + (text[0] == '+' ? 1 : 0);
  const auto [end, error] = std::from_chars(begin, text.data() + text.size(), whole);
  if (error == std::errc() && end == text.data() + text.size() && whole >= 0 &&
      whole <= largest_count) {
    count = static_cast<std::int32_t>(whole);
    return {};
  }
  const std::string shown(text);
  if (error == std::errc() && end == text.data() + text.size()) {
    return whole < 0 ? "negative value " + shown : "value " + shown + " beyond 2^31 - 1";
  }
  if (error == std::errc::result_out_of_range) {
    return text[0] == '-' ? "negative value " + shown : "value " + shown + " beyond 2^31 - 1";
  }
  char* stop = nullptr;
  const double value = std::strtod(shown.c_str(), &stop);
  if (stop != shown.c_str() + shown.size() || std::isnan(value) || std::isinf(value)) {
    return "not a number: " + shown;
  }
  if (value < 0) return "negative value " + shown;
  if (value != std::floor(value)) return "fractional value " + shown;
  if (value > static_cast<double>(largest_count)) return "value " + shown + " beyond 2^31 - 1";
  count = static_cast<std::int32_t>(value);
  return {};
}

labelled_matrix read_matrix(file_stream& in, matrix_format format) {
  switch (format) {
    case matrix_format::frq: return {load_count_matrix(in), {}};
    case matrix_format::csv: return read_table(in, ',');
    case matrix_format::tsv: return read_table(in, '\t');
    case matrix_format::mtx: return read_matrix_market(in);
    case matrix_format::npy: return read_npy(in);
    case matrix_format::pairs: return read_pairs(in);
  }
  return {};
}

void write_matrix(file_stream& out, const labelled_matrix& m, matrix_format format) {
  switch (format) {
    case matrix_format::frq:
      write_count_matrix_header(out, m.matrix.columns, m.matrix.rows);
      write_words(out, m.matrix.counts);
      return;
    case matrix_format::csv: return write_table(out, m, ',');
    case matrix_format::tsv: return write_table(out, m, '\t');
    case matrix_format::mtx: return write_matrix_market(out, m);
    case matrix_format::npy: return write_npy(out, m);
    case matrix_format::pairs: return;
  }
}

}  // namespace tornavel
