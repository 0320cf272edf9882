// Matrix Market exchange files (what SciPy, R, Julia and MATLAB read and write): the coordinate
// and array formats, integer, real and pattern values, general, symmetric and skew-symmetric.
#include <charconv>
#include <initializer_list>
#include <utility>
#include <vector>

#include "formats/formats.h"
#include "formats/count_text.h"
#include "files/file_error.h"

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

// A banner word's meaning: the value names gives it, or a refusal, naming what it is (kind) if
// it is no word of the format at all.
template <typename T>
T meaning_of(const text_lines& in, const std::string& word, std::initializer_list<std::pair<const char*, T>> names,
             std::initializer_list<std::pair<const char*, const char*>> refusals, const char* kind) {
  for (const auto& [name, value] : names) {
    if (word == name) return value;
  }
  for (const auto& [name, why] : refusals) {
    if (word == name) in.fail(why);
  }
  in.fail(std::string("unknown ") + kind + " " + shown_text(word));
}

mm_header parse_banner(text_lines& in) {
  std::string_view line;
  if (!in.next(line)) in.fail("file is empty");
  std::vector<std::string_view> words;
  split_words(line, words);
  if (words.size() != 5 || lower(words[0]) != "%%matrixmarket" || lower(words[1]) != "matrix") {
    in.fail("not a Matrix Market header (%%MatrixMarket matrix FORMAT FIELD SYMMETRY)");
  }
  const mm_header h{
      meaning_of<mm_layout>(in, lower(words[2]), {{"coordinate", mm_layout::coordinate}, {"array", mm_layout::array}},
                            {}, "format"),
      meaning_of<mm_field>(in, lower(words[3]),
                           {{"integer", mm_field::integer}, {"real", mm_field::real}, {"double", mm_field::real},
                            {"pattern", mm_field::pattern}},
                           {{"complex", "complex values are not counts"}}, "field"),
      meaning_of<mm_symmetry>(in, lower(words[4]),
                              {{"general", mm_symmetry::general}, {"symmetric", mm_symmetry::symmetric},
                               {"skew-symmetric", mm_symmetry::skew}},
                              {{"hermitian", "a hermitian matrix has complex values"}}, "symmetry")};
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

// The body of a Matrix Market file after its banner: the size line, then the entries.
class mm_body {
 public:
  mm_body(text_lines& in, const mm_header& h, count_matrix_builder& builder) : in_(in), h_(h), builder_(builder) {}

  // Reads the size line and tells the builder the shape. Returns the number of entries a
  // coordinate file declares (0 for an array).
  std::int64_t read_size() {
    if (!next_data_line()) in_.fail("the size line is missing");
    const bool coordinate = h_.layout == mm_layout::coordinate;
    if (words_.size() != (coordinate ? 3u : 2u)) {
      in_.fail(coordinate ? "the size line must give rows, columns and entries" : "the size line must give rows and columns");
    }
    rows_ = parse_index(in_, words_[0], "the number of rows", 1);
    columns_ = parse_index(in_, words_[1], "the number of columns", 2);
    builder_.start_entries(std::pair{rows_, columns_}, source_place::at_line(in_.number()));
    return coordinate ? parse_index(in_, words_[2], "the number of entries", 3) : 0;
  }

  void read_coordinates(std::int64_t declared) {
    const std::size_t fields = h_.field == mm_field::pattern ? 2 : 3;
    std::int64_t entries = 0;
    while (next_data_line()) {
      if (words_.size() != fields) in_.fail(std::to_string(words_.size()) + " fields where an entry has " + std::to_string(fields));
      const std::int64_t r = parse_index(in_, words_[0], "a row index", 1);
      const std::int64_t k = parse_index(in_, words_[1], "a column index", 2);
      if (r < 1 || r > rows_ || k < 1 || k > columns_) {
        in_.fail("entry (" + std::to_string(r) + ", " + std::to_string(k) + ") lies outside the declared " +
                 std::to_string(rows_) + " x " + std::to_string(columns_));
      }
      if (mirrored() && k > r) in_.fail("a symmetric matrix lists only entries on or below the diagonal");
      if (h_.symmetry == mm_symmetry::skew && k == r) in_.fail("a skew-symmetric matrix has no diagonal entries");
      if (++entries > declared) in_.fail("more entries than the header's " + std::to_string(declared));
      put(r - 1, k - 1, h_.field == mm_field::pattern ? 1 : value_of(words_[2], 3), 3);
    }
    if (entries != declared) {
      throw file_error(in_.name(), std::to_string(entries) + " entries where the header says " + std::to_string(declared));
    }
  }

  // Column by column; a symmetric matrix gives each column from the diagonal down, a
  // skew-symmetric one from below it.
  void read_array() {
    const std::int64_t first_row_of = h_.symmetry == mm_symmetry::skew ? 1 : 0;
    const std::int64_t expected = h_.symmetry == mm_symmetry::general     ? rows_ * columns_
                                  : h_.symmetry == mm_symmetry::symmetric ? rows_ * (rows_ + 1) / 2
                                                                          : rows_ * (rows_ - 1) / 2;
    std::int64_t r = first_row_of, k = 0, entries = 0;
    while (next_data_line()) {
      for (std::size_t w = 0; w < words_.size(); ++w) {
        if (entries == expected) in_.fail("more values than the declared size holds");
        put(r, k, value_of(words_[w], w + 1), w + 1);
        ++entries;
        if (++r == rows_) {
          ++k;
          r = h_.symmetry == mm_symmetry::general ? 0 : k + first_row_of;
        }
      }
    }
    if (entries != expected) {
      throw file_error(in_.name(), std::to_string(entries) + " values where the size gives " + std::to_string(expected));
    }
  }

 private:
  // The next line that is neither a comment nor blank, split into words_.
  bool next_data_line() {
    std::string_view line;
    while (in_.next(line)) {
      if (!line.empty() && line[0] == '%') continue;
      split_words(line, words_);
      if (!words_.empty()) return true;
    }
    return false;
  }

  bool mirrored() const { return h_.symmetry != mm_symmetry::general; }

  std::int32_t value_of(std::string_view text, std::uint64_t cell) {
    return builder_.count_of(text, source_place::at_line(in_.number(), cell));
  }

  // A value, with its mirror image in a symmetric matrix. A skew-symmetric one mirrors a value
  // as its negation, so any value but zero makes a negative count.
  void put(std::int64_t r, std::int64_t k, std::int32_t value, std::uint64_t cell) {
    if (h_.symmetry == mm_symmetry::skew && value != 0) {
      in_.fail("a skew-symmetric matrix with a non-zero entry has negative counts", cell);
    }
    builder_.add(r, k, value);
    if (mirrored() && r != k) builder_.add(k, r, value);
  }

  text_lines& in_;
  const mm_header& h_;
  count_matrix_builder& builder_;
  std::vector<std::string_view> words_;
  std::int64_t rows_ = 0, columns_ = 0;
};

}  // namespace

void read_matrix_market(text_lines& in, count_matrix_builder& builder) {
  const mm_header h = parse_banner(in);
  mm_body body(in, h, builder);
  const std::int64_t declared = body.read_size();
  if (h.layout == mm_layout::coordinate) {
    body.read_coordinates(declared);
  } else {
    body.read_array();
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
