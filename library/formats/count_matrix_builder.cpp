#include "formats/count_matrix_builder.h"

#include <algorithm>

#include "formats/count_text.h"
#include "files/file_error.h"
#include "model/shape.h"
#include "model/value_rules.h"

namespace tornavel {
std::string source_place::prefix() const {
  if (row >= 0) return "element (" + std::to_string(row) + ", " + std::to_string(column) + "): ";
  if (line == 0) return "";
  std::string out = "line " + std::to_string(line) + ": ";
  if (cell > 0) out += "cell " + std::to_string(cell) + ": ";
  return out;
}

void count_matrix_builder::refuse(const source_place& where, const std::string& reason) const {
  throw file_error(name_, where.prefix() + reason);
}

std::int32_t count_matrix_builder::count_of(std::string_view text, const source_place& where) const {
  std::int32_t count = 0;
  if (const std::string fault = parse_count(text, count); !fault.empty()) refuse(where, fault);
  return count;
}

std::int32_t count_matrix_builder::count_of(std::int64_t value, const source_place& where) const {
  if (const std::string fault = value_fault(value); !fault.empty()) refuse(where, fault);
  return static_cast<std::int32_t>(value);
}

std::int32_t count_matrix_builder::count_of(std::uint64_t value, const source_place& where) const {
  if (const std::string fault = value_fault(value); !fault.empty()) refuse(where, fault);
  return static_cast<std::int32_t>(value);
}

std::int32_t count_matrix_builder::count_of(double value, const source_place& where) const {
  if (const std::string fault = value_fault(value); !fault.empty()) refuse(where, fault);
  return static_cast<std::int32_t>(value);
}

void count_matrix_builder::check_side(std::int64_t rows, std::int64_t columns,
                                      const source_place& where) const {
  // A declared shape must be square even where one side is 0: a table of no rows and some
  // columns is not a matrix of no counts.
  if (rows >= 0 && columns >= 0 && rows != columns) refuse(where, not_square(rows, columns));
  if (const std::string fault = shape_fault(rows, columns); !fault.empty()) refuse(where, fault);
}

void count_matrix_builder::start_rows(std::int64_t rows, std::int64_t columns,
                                      const source_place& where,
                                      std::optional<std::vector<std::string>> labels) {
  check_side(rows, columns, where);
  side_ = static_cast<std::size_t>(columns);
  side_known_ = true;
  streaming_ = labels.has_value() || !sink_.needs_labels_first();
  if (streaming_) sink_.begin(side_, labels ? *labels : std::vector<std::string>{});
}

void count_matrix_builder::add_row(std::span<const std::int32_t> counts) {
  const std::size_t index = rows_++;
  if (streaming_) {
    if (index < side_) sink_.row(index, counts);  // beyond the side: refused by finish()
    return;
  }
  for (std::size_t k = 0; k < counts.size(); ++k) {
    if (counts[k] != 0) {
      entries_.push_back({static_cast<std::int32_t>(index), static_cast<std::int32_t>(k), counts[k]});
    }
  }
}

void count_matrix_builder::start_entries(std::optional<std::pair<std::int64_t, std::int64_t>> shape,
                                         const source_place& where) {
  if (shape) {
    check_side(shape->first, shape->second, where);
    side_ = static_cast<std::size_t>(shape->first);
    side_known_ = true;
  }
}

void count_matrix_builder::add(std::int64_t row, std::int64_t column, std::int32_t value) {
  if (value == 0) return;
  const entry e{static_cast<std::int32_t>(row), static_cast<std::int32_t>(column), value};
  if (!entries_.empty()) {
    const entry& last = entries_.back();
    sorted_ = sorted_ && (last.row < e.row || (last.row == e.row && last.column <= e.column));
  }
  entries_.push_back(e);
}

void count_matrix_builder::finish(const source_place& where, std::vector<std::string> labels) {
  if (!side_known_) {
    side_ = labels.size();
    if (side_ > static_cast<std::size_t>(most_items)) refuse(where, too_many_items(static_cast<std::int64_t>(side_)));
    side_known_ = true;
  } else if (rows_ > 0 || streaming_) {
    // Rows were counted as they came: as many as the side, or the table is not square.
    if (rows_ != side_) refuse(where, not_square(static_cast<std::int64_t>(rows_), static_cast<std::int64_t>(side_)));
  }
  if (!labels.empty() && labels.size() != side_) {
    refuse(where, std::to_string(labels.size()) + " labels for " + std::to_string(side_) + " items");
  }
  if (streaming_) {
    sink_.end(labels);
    return;
  }
  hand_on_entries(labels);
}

void count_matrix_builder::hand_on_entries(const std::vector<std::string>& labels) {
  const auto by_place = [](const entry& a, const entry& b) {
    return a.row < b.row || (a.row == b.row && a.column < b.column);
  };
  if (!sorted_) std::stable_sort(entries_.begin(), entries_.end(), by_place);
  sink_.begin(side_, labels);
  // A row's non-zero counts, repeated places added up; a whole row only for a sink that takes
  // nothing else, made when the first row comes (after begin(), which refuses a side no file
  // can hold).
  std::vector<std::int32_t> columns, counts, row;
  for (std::size_t at = 0; at < entries_.size();) {
    const std::int32_t r = entries_[at].row;
    columns.clear();
    counts.clear();
    for (; at < entries_.size() && entries_[at].row == r; ++at) {
      const entry& e = entries_[at];
      if (!columns.empty() && columns.back() == e.column) {
        if (__builtin_add_overflow(counts.back(), e.value, &counts.back())) {
          refuse({}, repeated_entries_beyond(" at (" + std::to_string(r + 1) + ", " + std::to_string(e.column + 1) + ")"));
        }
      } else {
        columns.push_back(e.column);
        counts.push_back(e.value);
      }
    }
    if (sink_.takes_sparse_rows()) {
      sink_.sparse_row(static_cast<std::size_t>(r), columns, counts);
      continue;
    }
    if (row.empty()) row.assign(side_, 0);
    for (std::size_t i = 0; i < columns.size(); ++i) row[static_cast<std::size_t>(columns[i])] = counts[i];
    sink_.row(static_cast<std::size_t>(r), row);
    for (const std::int32_t k : columns) row[static_cast<std::size_t>(k)] = 0;
  }
  entries_.clear();
  entries_.shrink_to_fit();
  sink_.end(labels);
}

}  // namespace tornavel
