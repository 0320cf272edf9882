// Matrix Market exchange files (what SciPy, R, Julia and MATLAB read and write): the coordinate
// and array formats, integer, real and pattern values, general, symmetric and skew-symmetric.
#include <charconv>
#include <vector>

#include "formats/formats.h"
#include "matrix_files/count_text.h"
#include "matrix_files/file_error.h"

namespace tornavel {
namespace {

enum class mm_layout { coordinate, array };
enum class mm_field { integer, real, pattern };
enum class mm_symmetry { general, symmetric, skew };

struct mm_header {
  mm_layout layout;
  mm_field field;
  mm_symmetry symmetry;
};

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
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

mm_header parse_banner(text_lines& in) {
  std::string_view line;
  if (!in.next(line)) in.fail("file is empty");
  std::vector<std::string_view> words;
  split_words(line, words);
  if (words.size() != 5 || lower(words[0]) != "%%matrixmarket" || lower(words[1]) != "matrix") {
    in.fail("not a Matrix Market header (%%MatrixMarket matrix FORMAT FIELD SYMMETRY)");
  }
  mm_header h{};
  const std::string layout = lower(words[2]), field = lower(words[3]), symmetry = lower(words[4]);
  if (layout == "coordinate") {
    h.layout = mm_layout::coordinate;
  } else if (layout == "array") {
    h.layout = mm_layout::array;
  } else {
    in.fail("unknown format " + shown_text(layout));
  }
  if (field == "integer") {
    h.field = mm_field::integer;
  } else if (field == "real" || field == "double") {
    h.field = mm_field::real;
  } else if (field == "pattern") {
    h.field = mm_field::pattern;
  } else if (field == "complex") {
    in.fail("complex values are not counts");
  } else {
    in.fail("unknown field " + shown_text(field));
  }
  if (symmetry == "general") {
    h.symmetry = mm_symmetry::general;
  } else if (symmetry == "symmetric") {
    h.symmetry = mm_symmetry::symmetric;
  } else if (symmetry == "skew-symmetric") {
    h.symmetry = mm_symmetry::skew;
  } else if (symmetry == "hermitian") {
    in.fail("a hermitian matrix has complex values");
  } else {
    in.fail("unknown symmetry " + shown_text(symmetry));
  }
  if (h.field == mm_field::pattern && h.layout == mm_layout::array) {
    in.fail("a pattern matrix must be in coordinate format");
  }
  return h;
}

std::int64_t parse_index(const text_lines& in, std::string_view text, const char* what, std::uint64_t cell) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) {
    in.fail(std::string(what) + " is not a whole number: " + shown_text(text), cell);
  }
  return value;
}

}  // namespace

void read_matrix_market(text_lines& in, count_matrix_builder& builder) {
  const mm_header h = parse_banner(in);
  std::string_view line;
  std::vector<std::string_view> words;
  const auto next_data_line = [&] {
    while (in.next(line)) {
      if (!line.empty() && line[0] == '%') continue;
      split_words(line, words);
      if (!words.empty()) return true;
    }
    return false;
  };
  if (!next_data_line()) in.fail("the size line is missing");
  const bool coordinate = h.layout == mm_layout::coordinate;
  if (words.size() != (coordinate ? 3u : 2u)) {
    in.fail(coordinate ? "the size line must give rows, columns and entries"
                       : "the size line must give rows and columns");
  }
  const std::int64_t rows = parse_index(in, words[0], "the number of rows", 1);
  const std::int64_t columns = parse_index(in, words[1], "the number of columns", 2);
  builder.start_entries(std::pair{rows, columns}, source_place::at_line(in.number()));
  const bool mirrored = h.symmetry != mm_symmetry::general;
  // Each value, with its mirror image in a symmetric matrix. A skew-symmetric one mirrors a
  // value as its negation, so any value but zero makes a negative count.
  const auto put = [&](std::int64_t r, std::int64_t k, std::int32_t value, std::uint64_t cell) {
    if (h.symmetry == mm_symmetry::skew && value != 0) {
      in.fail("a skew-symmetric matrix with a non-zero entry has negative counts", cell);
    }
    builder.add(r, k, value);
    if (mirrored && r != k) builder.add(k, r, value);
  };
  const auto value_of = [&](std::string_view text, std::uint64_t cell) {
    return builder.count_of(text, source_place::at_line(in.number(), cell));
  };

  std::int64_t entries = 0;
  if (coordinate) {
    const std::int64_t declared = parse_index(in, words[2], "the number of entries", 3);
    const std::size_t fields = h.field == mm_field::pattern ? 2 : 3;
    while (next_data_line()) {
      if (words.size() != fields) {
        in.fail(std::to_string(words.size()) + " fields where an entry has " + std::to_string(fields));
      }
      const std::int64_t r = parse_index(in, words[0], "a row index", 1);
      const std::int64_t k = parse_index(in, words[1], "a column index", 2);
      if (r < 1 || r > rows || k < 1 || k > columns) {
        in.fail("entry (" + std::to_string(r) + ", " + std::to_string(k) +
                ") lies outside the declared " + std::to_string(rows) + " x " + std::to_string(columns));
      }
      if (mirrored && k > r) in.fail("a symmetric matrix lists only entries on or below the diagonal");
      if (h.symmetry == mm_symmetry::skew && k == r) in.fail("a skew-symmetric matrix has no diagonal entries");
      if (++entries > declared) in.fail("more entries than the header's " + std::to_string(declared));
      put(r - 1, k - 1, h.field == mm_field::pattern ? 1 : value_of(words[2], 3), 3);
    }
    if (entries != declared) {
      throw file_error(in.name(), std::to_string(entries) + " entries where the header says " +
                                      std::to_string(declared));
    }
  } else {
    // Column by column; a symmetric one gives each column from the diagonal down, a
    // skew-symmetric one from below it.
    const std::int64_t first_row_of = h.symmetry == mm_symmetry::general ? 0 : h.symmetry == mm_symmetry::skew ? 1 : 0;
    std::int64_t r = first_row_of, k = 0;
    const std::int64_t expected = h.symmetry == mm_symmetry::general ? rows * columns
                                  : h.symmetry == mm_symmetry::symmetric ? rows * (rows + 1) / 2
                                                                          : rows * (rows - 1) / 2;
    while (next_data_line()) {
      for (std::size_t w = 0; w < words.size(); ++w) {
        if (entries == expected) in.fail("more values than the declared size holds");
        put(r, k, value_of(words[w], w + 1), w + 1);
        ++entries;
        if (++r == rows) {
          ++k;
          r = h.symmetry == mm_symmetry::general ? 0 : k + first_row_of;
        }
      }
    }
    if (entries != expected) {
      throw file_error(in.name(), std::to_string(entries) + " values where the size gives " +
                                      std::to_string(expected));
    }
  }
  builder.finish({});
}

namespace {

// Entries are kept until the end, since the header gives their number first: memory follows
// the non-zero counts.
class matrix_market_rows final : public row_sink {
 public:
  explicit matrix_market_rows(file_stream& out) : out_(out) {}
  void begin(std::size_t side, const std::vector<std::string>&) override { side_ = side; }
  void row(std::size_t index, std::span<const std::int32_t> counts) override {
    for (std::size_t k = 0; k < counts.size(); ++k) {
      if (counts[k] != 0) entries_.push_back({static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(k), counts[k]});
    }
  }
  bool takes_sparse_rows() const override { return true; }
  void sparse_row(std::size_t index, std::span<const std::int32_t> columns, std::span<const std::int32_t> counts) override {
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (counts[i] != 0) {
        entries_.push_back({static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(columns[i]), counts[i]});
      }
    }
  }
  void end(const std::vector<std::string>&) override {
    std::string text = "%%MatrixMarket matrix coordinate integer general\n" + std::to_string(side_) +
                       " " + std::to_string(side_) + " " + std::to_string(entries_.size()) + "\n";
    const auto append = [&text](auto number, char after) {
      char digits[24];
      text.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
      text += after;
    };
    for (const entry& e : entries_) {
      append(e.row + 1, ' ');
      append(e.column + 1, ' ');
      append(e.value, '\n');
      if (text.size() > (std::size_t{1} << 20)) {
        write_exact(out_, text.data(), text.size());
        text.clear();
      }
    }
    write_exact(out_, text.data(), text.size());
  }

 private:
  struct entry {
    std::uint32_t row, column;
    std::int32_t value;
  };
  file_stream& out_;
  std::size_t side_ = 0;
  std::vector<entry> entries_;
};

}  // namespace

std::unique_ptr<row_sink> matrix_market_writer(file_stream& out) {
  return std::make_unique<matrix_market_rows>(out);
}

}  // namespace tornavel
