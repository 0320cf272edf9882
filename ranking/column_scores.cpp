#include "ranking/column_scores.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <memory>
#include <mutex>
#include <numeric>

#include "ranking/log_factorial.h"
#include "ranking/row_kernels.h"
#include "ranking/zeroed_memory.h"

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
  column_sums() = default;
  explicit column_sums(std::size_t columns) : counts(columns), logs(columns) {}
  zeroed_array<std::int64_t> counts;  // c: 64-bit, since a column may add up past 2^31
  zeroed_array<double> logs;          // B: the table entries of the column's counts, summed
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

// The scores, once every count has been added: entry c of the table minus the column's sum.
std::vector<column_rank> records_of(log_factorial_table& table, const column_sums& sums) {
  // Sums that fit the dense part are looked up there when walking to the largest costs no more
  // than walking to each from its checkpoint would (at most log_sum_stride steps apiece): each
  // lookup is then a load, not a search.
  const std::int64_t largest = sums.counts.empty() ? 0 : *std::max_element(sums.counts.begin(), sums.counts.end());
  if (largest < dense_limit && largest <= log_sum_stride * static_cast<std::int64_t>(sums.counts.size())) {
    table.grow_dense(largest + 1);
  }
  if (largest >= table.dense_end()) table.add({sums.counts.begin(), sums.counts.end()});
  std::vector<column_rank> records(sums.counts.size());
  for (std::size_t k = 0; k < records.size(); ++k) {
    const double score = static_cast<double>(table[sums.counts[k]]) - sums.logs[k];
    records[k] = {static_cast<std::int32_t>(k), static_cast<float>(score)};
  }
  return records;
}

// Sums of table entries are exact, and so the same in any order of addition, while they stay
// below 2^29: every entry is 0 or a binary32 value of at least ln 2 > 1/2, hence a multiple of
// 2^-24, and binary64 holds every multiple of 2^-24 below 2^53 * 2^-24. Two threads may then
// add rows in any order, each into sums of its own, and the two sums added give the row-order
// sum to the bit. Each partial sum is at most the whole, so a whole below 2^29 proves every
// addition exact; a column that reaches it (its counts run into the tens of millions) makes the
// pass be done again in row order, on one thread.
constexpr double exact_sums_below = 536870912.0;  // 2^29

// Hands out stretches of rows, in ascending order, to whichever thread asks next.
class row_claims {
 public:
  explicit row_claims(std::size_t rows) : rows_(rows) {}
  // Claims [first, end_after(first)), or returns false when every row has been claimed.
  template <typename End>
  bool claim(const End& end_after, std::size_t& first, std::size_t& end) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (next_ == rows_) return false;
    first = next_;
    end = next_ = end_after(first);
    return true;
  }
  void start_again() { next_ = 0; }

 private:
  std::mutex mutex_;
  std::size_t rows_;
  std::size_t next_ = 0;
};

// One thread's part of a pass whose rows are taken in any order.
struct share {
  explicit share(std::size_t columns) : sums(columns) {}
  column_sums sums;
  std::int32_t bound = 0;  // of the counts last read
  bool waiting = false;    // read, but calling for entries the table does not hold yet
  bool all_dense = true;   // of the waiting counts, once the table holds them
};

// Adds every row into the shares' sums, one share a thread: read(s) reads the next stretch of
// rows into s and sets s.bound, or returns false when none are left; add(s, table, all_dense)
// adds them. The table only grows between rounds, while no thread reads it: a thread that reads
// counts it lacks entries for waits, the other stops at its next stretch, and the table grows
// for the waiting stretches before both go on.
template <typename Share, typename Read, typename Counts, typename Add>
void add_in_shares(std::vector<Share>& shares, log_factorial_table& table, worker* helper,
                   const Read& read, const Counts& counts_of, const Add& add) {
  std::atomic<bool> stopping = false;
  const auto work = [&](Share& s) {
    if (s.waiting) {
      add(s, table, s.all_dense);
      s.waiting = false;
    }
    while (!stopping.load(std::memory_order_relaxed) && read(s)) {
      if (s.bound >= table.dense_end()) {
        s.waiting = true;
        stopping.store(true, std::memory_order_relaxed);
        return;
      }
      add(s, table, true);
    }
  };
  for (;;) {
    stopping = false;
    if (shares.size() == 2) {
      helper->run_beside([&] { work(shares[1]); }, [&] { work(shares[0]); });
    } else {
      work(shares[0]);
    }
    if (!stopping) return;
    for (Share& s : shares) {
      if (s.waiting) s.all_dense = prepare_table(table, counts_of(s), s.bound);
    }
  }
}

// The scores from add_in_shares with two shares if there is a helper thread; with one, in row
// order, if some column is not exact that way, or if a read failed: a refused count is then
// the first in row order, whichever thread came upon which first.
template <typename Make, typename Read, typename Counts, typename Add>
std::vector<column_rank> score_in_shares(std::size_t columns, row_claims& claims, worker* helper,
                                         const Make& make, const Read& read,
                                         const Counts& counts_of, const Add& add) {
  log_factorial_table table(1);
  const auto in_order = [&] {
    std::vector<decltype(make())> one;
    one.push_back(make());
    add_in_shares(one, table, nullptr, read, counts_of, add);
    return std::move(one[0].sums);
  };
  if (helper == nullptr || !helper->has_thread()) return records_of(table, in_order());
  column_sums sums;
  bool exact = true;
  try {
    std::vector<decltype(make())> shares;
    shares.push_back(make());
    shares.push_back(make());
    add_in_shares(shares, table, helper, read, counts_of, add);
    sums = std::move(shares[0].sums);
    for (std::size_t k = 0; k < columns; ++k) {
      sums.counts[k] += shares[1].sums.counts[k];
      sums.logs[k] += shares[1].sums.logs[k];
      exact = exact && sums.logs[k] < exact_sums_below;
    }
  } catch (...) {  // whatever a source throws: the pass in order throws it again
    exact = false;
  }
  if (!exact) {
    claims.start_again();
    sums = in_order();
  }
  return records_of(table, sums);
}

struct nonzero_share : share {
  using share::share;
  nonzero_block stretch;
};

struct row_share : share {
  row_share(std::size_t columns, std::size_t words)
      : share(columns), words_(std::make_unique_for_overwrite<std::int32_t[]>(words)), scratch(words_.get(), words) {}
  std::unique_ptr<std::int32_t[]> words_;
  std::span<std::int32_t> scratch;
  std::span<const std::int32_t> block;
};

// The rows of a block: one, or as many as make about block_words counts.
std::size_t rows_per_block(std::size_t columns) { return std::max<std::size_t>(1, block_words / columns); }

// The rows of a source that only one thread reads at a time, in order: this thread reads the
// next block while both threads add the current one, split by columns.
std::vector<column_rank> score_in_order(row_source& source, worker* helper) {
  const std::size_t columns = source.columns();
  const std::size_t rows = source.rows();
  column_sums sums(columns);
  log_factorial_table table(1);
  if (rows > 0) {
    const std::size_t block_rows = rows_per_block(columns);
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

}  // namespace

std::vector<column_rank> score_columns(row_source& source, worker* helper) {
  const std::size_t columns = source.columns();
  const std::size_t rows = source.rows();
  if (!source.reads_at_once()) return score_in_order(source, helper);
  // Each thread reads its own blocks where the source allows it.
  const std::size_t block_rows = rows == 0 ? 0 : rows_per_block(columns);
  row_claims claims(rows);
  const auto make = [&] { return row_share(columns, block_rows * columns); };
  const auto end_after = [&](std::size_t first) { return std::min(rows, first + block_rows); };
  const auto read = [&](row_share& s) {
    std::size_t first, end;
    if (!claims.claim(end_after, first, end)) return false;
    s.block = source.read_rows(first, end - first, s.scratch);
    s.bound = bound_of(s.block);
    return true;
  };
  const auto counts_of = [](const row_share& s) { return s.block; };
  const auto add = [&](row_share& s, const log_factorial_table& table, bool all_dense) {
    add_block(s.block, columns, 0, columns, table, all_dense, s.sums);
  };
  return score_in_shares(columns, claims, helper, make, read, counts_of, add);
}

std::vector<column_rank> score_columns(nonzero_source& source, worker* helper) {
  const std::size_t side = source.side();
  row_claims claims(side);
  // About 32768 counts at a time: a stretch stays in the core's cache between being read and
  // being added.
  const auto end_after = [&](std::size_t first) { return source.rows_for(first, std::size_t{1} << 15); };
  const auto make = [&] { return nonzero_share(side); };
  const auto read = [&](nonzero_share& s) {
    std::size_t first, end;
    if (!claims.claim(end_after, first, end)) return false;
    source.read_rows(first, end, s.stretch);
    s.bound = bound_of(s.stretch.counts);
    return true;
  };
  const auto counts_of = [](const nonzero_share& s) { return std::span<const std::int32_t>(s.stretch.counts); };
  const auto add = [](nonzero_share& s, const log_factorial_table& table, bool all_dense) {
    const float* dense = table.dense_entries();
    const std::vector<std::int32_t>& columns = s.stretch.columns;
    const std::vector<std::int32_t>& counts = s.stretch.counts;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const auto k = static_cast<std::size_t>(columns[i]);
      const std::int32_t x = counts[i];
      s.sums.counts[k] += x;
      s.sums.logs[k] += static_cast<double>(all_dense ? dense[x] : table[x]);
    }
  };
  return score_in_shares(side, claims, helper, make, read, counts_of, add);
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

// Sorts keys whose lower halves ascend by their upper halves, keeping equal upper halves in
// the order they come: which sorts them, as their lower halves then ascend too. A radix sort,
// eleven bits a pass, passes over bits the keys all share skipped: about twice as fast as a
// comparison sort at a hundred thousand keys.
void sort_by_upper_halves(std::vector<std::uint64_t>& keys) {
  constexpr int digit_bits = 11;
  constexpr std::size_t digits = std::size_t{1} << digit_bits;
  std::vector<std::uint64_t> sorted(keys.size());
  for (int shift = 32; shift < 64; shift += digit_bits) {
    std::vector<std::size_t> starts(digits, 0);
    for (std::uint64_t key : keys) ++starts[(key >> shift) & (digits - 1)];
    if (std::find(starts.begin(), starts.end(), keys.size()) != starts.end()) continue;
    std::exclusive_scan(starts.begin(), starts.end(), starts.begin(), std::size_t{0});
    for (std::uint64_t key : keys) sorted[starts[(key >> shift) & (digits - 1)]++] = key;
    keys.swap(sorted);
  }
}

}  // namespace

std::vector<std::int32_t> rank_columns(std::span<column_rank> records) {
  std::vector<std::uint64_t> keys(records.size());
  std::transform(records.begin(), records.end(), keys.begin(), rank_key);
  // Records come in column order from the scoring; any other order is sorted whole.
  const auto column_of = [](std::uint64_t key) { return key & 0xffffffffu; };
  if (std::is_sorted(keys.begin(), keys.end(), [&](std::uint64_t a, std::uint64_t b) { return column_of(a) < column_of(b); })) {
    sort_by_upper_halves(keys);
  } else {
    std::sort(keys.begin(), keys.end());
  }
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
