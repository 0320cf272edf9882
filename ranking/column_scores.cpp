#include "ranking/column_scores.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <memory>
#include <numeric>

#include "ranking/log_factorial.h"
#include "ranking/row_kernels.h"

namespace tornavel {
namespace {

// Entries below this limit are kept densely (4 MiB at most); larger counts are rare, since at
// most grand_total / limit of them can reach it, and get an entry each.
constexpr std::int64_t dense_limit = std::int64_t{1} << 20;

// Rows are read about 256 KiB at a time (or one row, if that is more), into one of two buffers
// while the other is scored: small enough for both to stay in the core's cache between being
// read and being scored (about a fifth faster than blocks of 4 MiB, and than reading the rows
// where a mapping of the file holds them).
constexpr std::size_t block_words = std::size_t{1} << 16;

using clock = std::chrono::steady_clock;

double seconds_since(clock::time_point start) {
  return std::chrono::duration<double>(clock::now() - start).count();
}

// The per-column state of one pass: c and B of every column, added to a block at a time.
struct column_sums {
  std::vector<std::int64_t> counts;  // c: 64-bit, since a column may add up past 2^31
  std::vector<double> logs;          // B: the table entries of the column's counts, summed
};

// A bound on the counts of a block: their OR, which is at least the largest of them (all are
// non-negative) and less than twice it. Unlike a maximum of 32-bit integers, which needs SSE4.1,
// an OR in eight lanes becomes vector instructions at any optimisation level.
std::int32_t bound_of(std::span<const std::int32_t> block) {
  std::int32_t lanes[8] = {};
  std::size_t at = 0;
  for (; at + 8 <= block.size(); at += 8) {
    for (std::size_t lane = 0; lane < 8; ++lane) lanes[lane] |= block[at + lane];
  }
  std::int32_t bound = 0;
  for (; at < block.size(); ++at) bound |= block[at];
  for (std::int32_t lane : lanes) bound |= lane;
  return bound;
}

// Makes sure the table holds the entry of every count in block, whose counts are all at most
// bound: the dense part grows as far as they need (up to its limit), and counts beyond it get
// entries of their own. Returns whether every count of the block lies in the dense part.
bool prepare_table(log_factorial_table& table, std::span<const std::int32_t> block,
                   std::int32_t bound) {
  if (bound < table.dense_end()) return true;
  table.grow_dense(std::min(std::int64_t{bound} + 1, dense_limit));
  if (bound < table.dense_end()) return true;
  std::vector<std::int64_t> wanted;
  for (std::int32_t x : block) {
    if (x >= table.dense_end()) wanted.push_back(x);
  }
  table.add(std::move(wanted));
  return false;
}

// Where to split the columns between this thread, which also reads the next block, and the
// helper, so that both finish a block at once: from the last block's times, taking the helper's
// time per column as the cost of a column and the rest of this thread's time as the reading.
class column_split {
 public:
  column_split(std::size_t columns, bool helped) : columns_(columns), split_(helped ? columns / 2 : columns) {}
  std::size_t at() const { return split_; }
  void adjust(double here_seconds, double there_seconds) {
    if (split_ == columns_ || split_ == 0 || there_seconds <= 0.0) return;
    const double per_column = there_seconds / static_cast<double>(columns_ - split_);
    const double reading = std::max(0.0, here_seconds - per_column * static_cast<double>(split_));
    const double best = (static_cast<double>(columns_) - reading / per_column) / 2.0;
    const auto lowest = static_cast<double>(columns_ / 8);
    split_ = static_cast<std::size_t>(std::clamp(best, lowest, static_cast<double>(columns_) - lowest));
  }

 private:
  std::size_t columns_;
  std::size_t split_;
};

// Adds the rows of block to the columns [from, to).
void add_block(std::span<const std::int32_t> block, std::size_t columns, std::size_t from,
               std::size_t to, const log_factorial_table& table, bool all_dense,
               column_sums& sums) {
  const auto add_dense_row = fastest_row_kernels().add_dense_row;
  for (std::size_t at = 0; at < block.size(); at += columns) {
    const std::int32_t* row = block.data() + at + from;
    if (all_dense) {
      add_dense_row(row, to - from, table.dense_entries(), &sums.counts[from], &sums.logs[from]);
    } else {
      add_row(row, to - from, [&table](std::int32_t x) { return table[x]; }, &sums.counts[from],
              &sums.logs[from]);
    }
  }
}

// Adds the counts of one part of a block. A part holds its rows one after another, so each
// column receives its additions in ascending row order.
void add_nonzero_part(const nonzero_block& block, int part, const log_factorial_table& table,
                      bool all_dense, column_sums& sums) {
  const float* dense = table.dense_entries();
  const std::vector<std::int32_t>& columns = block.columns[part];
  const std::vector<std::int32_t>& counts = block.counts[part];
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const auto k = static_cast<std::size_t>(columns[i]);
    const std::int32_t x = counts[i];
    sums.counts[k] += x;
    sums.logs[k] += static_cast<double>(all_dense ? dense[x] : table[x]);
  }
}

// The scores, once every count has been added: entry c of the table minus the column's sum.
std::vector<column_rank> records_of(log_factorial_table& table, const column_sums& sums) {
  // Sums that fit the dense part are looked up there when walking to the largest costs no more
  // than walking to each from its checkpoint would (at most log_sum_stride steps apiece): each
  // lookup is then a load, not a search.
  const std::int64_t largest = sums.counts.empty() ? 0 : *std::max_element(sums.counts.begin(), sums.counts.end());
  if (largest < dense_limit && largest <= log_sum_stride * static_cast<std::int64_t>(sums.counts.size())) {
    table.grow_dense(largest + 1);
  }
  table.add(sums.counts);
  std::vector<column_rank> records(sums.counts.size());
  for (std::size_t k = 0; k < records.size(); ++k) {
    const double score = static_cast<double>(table[sums.counts[k]]) - sums.logs[k];
    records[k] = {static_cast<std::int32_t>(k), static_cast<float>(score)};
  }
  return records;
}

}  // namespace

std::vector<column_rank> score_columns(row_source& source, worker* helper) {
  const std::size_t columns = source.columns();
  const std::size_t rows = source.rows();
  column_sums sums{std::vector<std::int64_t>(columns, 0), std::vector<double>(columns, 0.0)};
  log_factorial_table table(1);
  if (rows > 0) {
    const std::size_t block_rows = std::max<std::size_t>(1, block_words / columns);
    // Untouched pages of these cost nothing: a source in memory never reads into them.
    std::unique_ptr<std::int32_t[]> scratch[2] = {
        std::make_unique_for_overwrite<std::int32_t[]>(block_rows * columns),
        std::make_unique_for_overwrite<std::int32_t[]>(block_rows * columns)};
    const auto scratch_span = [&](int turn) {
      return std::span<std::int32_t>(scratch[turn].get(), block_rows * columns);
    };
    // This thread takes the lower columns and reads the next block besides.
    column_split split(columns, helper != nullptr && helper->has_thread());
    source.expect_rows_in_order();
    std::span<const std::int32_t> block =
        source.read_rows(0, std::min(block_rows, rows), scratch_span(0));
    std::int32_t bound = bound_of(block);
    for (std::size_t first = 0, turn = 0; first < rows; turn ^= 1) {
      const bool all_dense = prepare_table(table, block, bound);
      const std::size_t next = first + block.size() / columns;
      std::span<const std::int32_t> next_block;
      double here_seconds = 0.0, there_seconds = 0.0;
      const auto upper = [&] {
        const auto start = clock::now();
        add_block(block, columns, split.at(), columns, table, all_dense, sums);
        there_seconds = seconds_since(start);
      };
      const auto lower = [&] {
        const auto start = clock::now();
        add_block(block, columns, 0, split.at(), table, all_dense, sums);
        if (next < rows) {
          next_block = source.read_rows(next, std::min(block_rows, rows - next),
                                        scratch_span(static_cast<int>(turn ^ 1)));
          bound = bound_of(next_block);
        }
        here_seconds = seconds_since(start);
      };
      if (helper != nullptr) {
        helper->run_beside(upper, lower);
      } else {
        lower();
      }
      split.adjust(here_seconds, there_seconds);
      block = next_block;
      first = next;
    }
  }
  return records_of(table, sums);
}

std::vector<column_rank> score_columns(nonzero_source& source, worker* helper) {
  const std::size_t side = source.side();
  column_sums sums{std::vector<std::int64_t>(side, 0), std::vector<double>(side, 0.0)};
  log_factorial_table table(1);
  // Rows are taken about 32768 counts at a time, two such stretches a step: while this thread
  // adds the lower columns of the current two and the helper the upper ones, each reads one of
  // the next two. Each column still receives its additions in ascending row order.
  constexpr std::size_t stretch_entries = std::size_t{1} << 15;
  struct step {
    std::size_t ends[2] = {0, 0};  // where each stretch's rows end
    nonzero_block stretches[2];
    std::int32_t bounds[2] = {0, 0};
  };
  step steps[2];
  const bool helped = helper != nullptr && helper->has_thread();
  std::size_t split = helped ? side / 2 : side;
  const auto plan = [&](step& s, std::size_t first) {
    s.ends[0] = first < side ? source.rows_for(first, stretch_entries) : first;
    s.ends[1] = s.ends[0] < side ? source.rows_for(s.ends[0], stretch_entries) : s.ends[0];
  };
  const auto read = [&](step& s, std::size_t first, int half, std::size_t at) {
    const std::size_t begin = half == 0 ? first : s.ends[0];
    if (begin < s.ends[half]) {
      source.read_rows(begin, s.ends[half], at, s.stretches[half]);
    } else {
      for (int part = 0; part < 2; ++part) {
        s.stretches[half].columns[part].clear();
        s.stretches[half].counts[part].clear();
      }
    }
    const nonzero_block& b = s.stretches[half];
    s.bounds[half] = bound_of(b.counts[0]) | bound_of(b.counts[1]);
  };
  if (side > 0) {
    plan(steps[0], 0);
    read(steps[0], 0, 0, split);
    read(steps[0], 0, 1, split);
  }
  for (std::size_t first = 0, turn = 0; first < side; turn ^= 1) {
    step& current = steps[turn];
    const std::int32_t bound = current.bounds[0] | current.bounds[1];
    // Every part, so that each gets the table entries it needs.
    bool all_dense = true;
    for (const nonzero_block& b : current.stretches) {
      for (int part = 0; part < 2; ++part) all_dense = prepare_table(table, b.counts[part], bound) && all_dense;
    }
    const std::size_t next = current.ends[1];
    step& following = steps[turn ^ 1];
    if (next < side) plan(following, next);
    const std::size_t at = split;
    double lower_adding = 0.0, upper_adding = 0.0;
    const auto work = [&](int part, double& adding) {
      const auto start = clock::now();
      for (const nonzero_block& b : current.stretches) add_nonzero_part(b, part, table, all_dense, sums);
      adding = seconds_since(start);
      if (next < side) read(following, next, part, at);
    };
    if (helped) {
      helper->run_beside([&] { work(1, upper_adding); }, [&] { work(0, lower_adding); });
    } else {
      work(0, lower_adding);
      work(1, upper_adding);
    }
    // Moves the split so that both threads take as long to add their columns next time.
    if (helped && split > 0 && split < side && lower_adding > 0.0 && upper_adding > 0.0) {
      const double lower_column = lower_adding / static_cast<double>(split);
      const double upper_column = upper_adding / static_cast<double>(side - split);
      const double best = upper_column * static_cast<double>(side) / (lower_column + upper_column);
      split = static_cast<std::size_t>(std::clamp(best, static_cast<double>(side / 8),
                                                  static_cast<double>(side - side / 8)));
    }
    first = next;
  }
  return records_of(table, sums);
}

int compare_rank(const column_rank& a, const column_rank& b) {
  if (b.score > a.score) return 1;
  if (a.score > b.score) return -1;
  return (a.column > b.column) - (a.column < b.column);
}

namespace {

// A key whose ascending order is compare_rank's: the score's bits made to rise with the score
// (negative scores' bits reversed, -0 taken as +0, as the comparison takes them), inverted for
// descending order, above the column. Plain integers sort several times faster than records
// through a comparison function.
std::uint64_t rank_key(const column_rank& record) {
  const float score = record.score == 0.0f ? 0.0f : record.score;
  const auto bits = std::bit_cast<std::uint32_t>(score);
  const std::uint32_t rising = (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
  return std::uint64_t{~rising} << 32 | static_cast<std::uint32_t>(record.column);
}

}  // namespace

std::vector<std::int32_t> rank_columns(std::span<column_rank> records) {
  std::vector<std::uint64_t> keys(records.size());
  std::transform(records.begin(), records.end(), keys.begin(), rank_key);
  std::sort(keys.begin(), keys.end());
  std::vector<std::int32_t> order(records.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    order[i] = static_cast<std::int32_t>(keys[i] & 0xffffffffu);
    records[i] = {order[i], 0.0f};
  }
  // The records in rank order, as the comparison sorts them.
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const auto rising = ~static_cast<std::uint32_t>(keys[i] >> 32);
    const std::uint32_t bits = (rising & 0x80000000u) != 0 ? rising & 0x7fffffffu : ~rising;
    records[i].score = std::bit_cast<float>(bits);
  }
  return order;
}

std::vector<std::int32_t> rank_matrix(nonzero_source& source, worker* helper) {
  std::vector<column_rank> records = score_columns(source, helper);
  return rank_columns(records);
}

std::vector<std::int32_t> rank_matrix(row_source& source, worker* helper) {
  if (source.rows() == 0) {
    // Every column scores 0, so the order is the columns in ascending order. A header may ask
    // for up to 2^31 - 1 such columns in a file of 8 bytes: nothing but the order itself is
    // worth allocating for them.
    std::vector<std::int32_t> order(source.columns());
    std::iota(order.begin(), order.end(), 0);
    return order;
  }
  std::vector<column_rank> records = score_columns(source, helper);
  return rank_columns(records);
}

}  // namespace tornavel
