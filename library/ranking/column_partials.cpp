#include "ranking/column_partials.h"

#include <algorithm>
#include <stdexcept>

#include "ranking/log_factorial.h"
#include "ranking/row_kernels.h"
#include "system/word_scan.h"

namespace tornavel {
namespace {

// A table holding the entry of every value given.
log_factorial_table table_for(std::span<const std::int32_t> values) {
  const std::int32_t largest = or_of_words(values);  // at least the largest, less than twice it
  log_factorial_table table(std::min<std::int64_t>(std::int64_t{largest} + 1, 1 << 20));
  if (largest >= table.dense_end()) {
    std::vector<std::int64_t> wanted;
    for (const std::int32_t v : values) {
      if (v >= table.dense_end()) wanted.push_back(v);
    }
    table.add(std::move(wanted));
  }
  return table;
}

column_partials empty_partials(std::size_t columns) {
  return {std::vector<std::int64_t>(columns), std::vector<double>(columns)};
}

}  // namespace

column_partials partials_of(const dense_block& block) {
  column_partials p = empty_partials(block.columns);
  if (block.columns == 0) return p;
  // A piece of rows at a time, copied before it is checked and used: the block may lie in a
  // file that another process rewrites meanwhile, and what was checked must be what is used.
  const std::size_t rows = block.counts.size() / block.columns;
  const std::size_t piece_rows = std::max<std::size_t>(1, (std::size_t{1} << 15) / block.columns);
  std::vector<std::int32_t> piece;
  log_factorial_table table(1);
  const auto add_dense_row = fastest_row_kernels().add_dense_row;
  for (std::size_t first = 0; first < rows; first += piece_rows) {
    const std::size_t count = std::min(piece_rows, rows - first);
    const auto from = block.counts.begin() + static_cast<std::ptrdiff_t>(first * block.columns);
    piece.assign(from, from + static_cast<std::ptrdiff_t>(count * block.columns));
    const std::int32_t bound = or_of_words(piece);
    if (bound < 0) throw std::invalid_argument("a block holds a negative count");
    if (bound >= table.dense_end()) table.grow_dense(std::min<std::int64_t>(std::int64_t{bound} + 1, 1 << 20));
    const bool all_dense = bound < table.dense_end();
    if (!all_dense) {
      std::vector<std::int64_t> wanted;
      for (const std::int32_t x : piece) {
        if (x >= table.dense_end()) wanted.push_back(x);
      }
      table.add(std::move(wanted));
    }
    // The row kernels of a whole run: each column's additions in row order, zeros skipped
    // (they add +0.0, which leaves a sum of non-negative entries as it is).
    for (std::size_t at = 0; at < piece.size(); at += block.columns) {
      if (all_dense) {
        add_dense_row(&piece[at], block.columns, table.dense_entries(), p.counts.data(), p.entries.data());
      } else {
        add_row(&piece[at], block.columns, [&table](std::int32_t x) { return table[x]; }, p.counts.data(),
                p.entries.data());
      }
    }
  }
  return p;
}

column_partials partials_of(const sparse_block& block) {
  column_partials p = empty_partials(block.width);
  const log_factorial_table table = table_for(block.values);
  // Row by row, so each column's entries come in row order.
  for (std::size_t i = 0; i + 1 < block.starts.size(); ++i) {
    for (auto j = static_cast<std::size_t>(block.starts[i]); j < static_cast<std::size_t>(block.starts[i + 1]); ++j) {
      const auto k = static_cast<std::size_t>(block.columns[j]);
      p.counts[k] += block.values[j];
      p.entries[k] += static_cast<double>(table[block.values[j]]);
    }
  }
  return p;
}

void merge_partials(column_partials& whole, const column_partials& part) {
  for (std::size_t k = 0; k < whole.counts.size(); ++k) {
    whole.counts[k] += part.counts[k];
    whole.entries[k] += part.entries[k];
  }
}

void continue_in_row_order(const dense_block& block, std::span<const std::int32_t> listed, std::span<double> running) {
  if (block.columns == 0) return;
  // The listed columns, copied before they are checked and used (as partials_of copies).
  const std::size_t rows = block.counts.size() / block.columns;
  std::vector<std::int32_t> counts(rows * listed.size());
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t i = 0; i < listed.size(); ++i) {
      counts[r * listed.size() + i] = block.counts[r * block.columns + static_cast<std::size_t>(listed[i])];
    }
  }
  if (or_of_words(counts) < 0) throw std::invalid_argument("a block holds a negative count");
  const log_factorial_table table = table_for(counts);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t i = 0; i < listed.size(); ++i) running[i] += static_cast<double>(table[counts[r * listed.size() + i]]);
  }
}

void continue_in_row_order(const sparse_block& block, std::span<const std::int32_t> listed, std::span<double> running) {
  const log_factorial_table table = table_for(block.values);
  // Where each column stands among the listed ones, -1 for none.
  std::vector<std::int32_t> slot(block.width, -1);
  for (std::size_t i = 0; i < listed.size(); ++i) slot[static_cast<std::size_t>(listed[i])] = static_cast<std::int32_t>(i);
  for (std::size_t i = 0; i + 1 < block.starts.size(); ++i) {
    for (auto j = static_cast<std::size_t>(block.starts[i]); j < static_cast<std::size_t>(block.starts[i + 1]); ++j) {
      const std::int32_t s = slot[static_cast<std::size_t>(block.columns[j])];
      if (s >= 0) running[static_cast<std::size_t>(s)] += static_cast<double>(table[block.values[j]]);
    }
  }
}

column_ranks scores_of(const column_partials& whole) {
  return scores_from_sums(whole.counts, whole.entries);
}

}  // namespace tornavel
