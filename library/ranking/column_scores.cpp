#include "ranking/column_scores.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <numeric>
#include <stdexcept>

#include "ranking/log_factorial.h"
#include "ranking/row_kernels.h"
#include "system/large_memory.h"
#include "system/word_scan.h"

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

// What a pass leaves: every column's sums, and the table their entries came from.
struct column_totals {
  log_factorial_table table;
  column_sums sums;
};

// The column's score, once every count has been added: entry c of the table minus the sum of
// entries. Precondition: prepare_scores(t).
float score_of(const column_totals& t, std::size_t k) {
  return static_cast<float>(static_cast<double>(t.table[t.sums.counts[k]]) - t.sums.logs[k]);
}

// Makes sure the table holds entry c of every column.
void prepare_scores(column_totals& t) {
  // Sums that fit the dense part are looked up there when walking to the largest costs no more
  // than walking to each from its checkpoint would (at most log_sum_stride steps apiece): each
  // lookup is then a load, not a search.
  const column_sums& sums = t.sums;
  const std::int64_t largest = sums.counts.empty() ? 0 : *std::max_element(sums.counts.begin(), sums.counts.end());
  if (largest < dense_limit && largest <= log_sum_stride * static_cast<std::int64_t>(sums.counts.size())) {
    t.table.grow_dense(largest + 1);
  }
  if (largest >= t.table.dense_end()) t.table.add({sums.counts.begin(), sums.counts.end()});
}

column_ranks records_of(column_totals t) {
  prepare_scores(t);
  column_ranks records(t.sums.counts.size());
  for (std::size_t k = 0; k < records.size(); ++k) records[k] = {static_cast<std::int32_t>(k), score_of(t, k)};
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

// Hands out stretches of rows (or columns), in ascending order, to whichever thread asks next.
class row_claims {
 public:
  row_claims(std::size_t first, std::size_t end) : first_(first), end_(end), next_(first) {}
  // Claims [first, end_after(first)), or returns false when every row has been claimed.
  template <typename End>
  bool claim(const End& end_after, std::size_t& first, std::size_t& end) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (next_ == end_) return false;
    first = next_;
    end = next_ = end_after(first);
    return true;
  }
  void start_again() { next_ = first_; }

 private:
  std::mutex mutex_;
  std::size_t first_, end_;
  std::size_t next_;
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
    try {
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
    } catch (...) {
      stopping.store(true, std::memory_order_relaxed);  // the other thread need not read on
      throw;
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
column_totals totals_in_shares(std::size_t columns, row_claims& claims, worker* helper,
                               const Make& make, const Read& read, const Counts& counts_of, const Add& add) {
  log_factorial_table table(1);
  const auto in_order = [&] {
    std::vector<decltype(make())> one;
    one.push_back(make());
    add_in_shares(one, table, nullptr, read, counts_of, add);
    return std::move(one[0].sums);
  };
  if (helper == nullptr || !helper->has_thread()) {
    column_sums sums = in_order();
    return {std::move(table), std::move(sums)};
  }
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
  return {std::move(table), std::move(sums)};
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
column_totals totals_in_order(row_source& source, worker* helper) {
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
    std::int32_t bound = or_of_words(block);
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
          bound = or_of_words(next_block);
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
  return {std::move(table), std::move(sums)};
}


column_totals totals_of(row_source& source, worker* helper) {
  const std::size_t columns = source.columns();
  const std::size_t rows = source.rows();
  if (!source.reads_at_once()) return totals_in_order(source, helper);
  // Each thread reads its own blocks where the source allows it.
  const std::size_t block_rows = rows == 0 ? 0 : rows_per_block(columns);
  row_claims claims(0, rows);
  const auto make = [&] { return row_share(columns, block_rows * columns); };
  const auto end_after = [&](std::size_t first) { return std::min(rows, first + block_rows); };
  const auto read = [&](row_share& s) {
    std::size_t first, end;
    if (!claims.claim(end_after, first, end)) return false;
    s.block = source.read_rows(first, end - first, s.scratch);
    s.bound = or_of_words(s.block);
    return true;
  };
  const auto counts_of = [](const row_share& s) { return s.block; };
  const auto add = [&](row_share& s, const log_factorial_table& table, bool all_dense) {
    add_block(s.block, columns, 0, columns, table, all_dense, s.sums);
  };
  return totals_in_shares(columns, claims, helper, make, read, counts_of, add);
}

column_totals totals_of(nonzero_source& source, worker* helper) {
  const std::size_t side = source.side();
  row_claims claims(0, side);
  // About 32768 counts at a time: a stretch stays in the core's cache between being read and
  // being added.
  const auto end_after = [&](std::size_t first) { return source.rows_for(first, std::size_t{1} << 15); };
  const auto make = [&] { return nonzero_share(side); };
  const auto read = [&](nonzero_share& s) {
    std::size_t first, end;
    if (!claims.claim(end_after, first, end)) return false;
    source.read_rows(first, end, s.stretch);
    s.bound = or_of_words(s.stretch.counts);
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
  return totals_in_shares(side, claims, helper, make, read, counts_of, add);
}


// One thread's part of a pass over columns: each column is whole in one block, so its entries
// can be added in row order on this thread, and the threads' columns never meet.
struct column_share {
  column_block block;
  std::size_t first = 0;   // the column of the block's first
  std::int32_t bound = 0;  // of the counts last read
  bool waiting = false;    // read, but calling for entries the table does not hold yet
  bool all_dense = true;   // of the waiting counts, once the table holds them
  std::vector<std::pair<std::int32_t, std::int32_t>> by_row;  // a column's (row, count), to sort
};

// Adds each column of the share's block into sums: c, and B in row order. Where the block's
// rows do not ascend, B is first added as they come, which is exact, and so the row-order sum,
// while it stays below 2^29 (see exact_sums_below); only beyond is the column sorted by row and
// added again.
void add_columns(column_share& s, const log_factorial_table& table, bool all_dense, column_sums& sums) {
  const float* dense = table.dense_entries();
  const auto entry = [&](std::int32_t x) { return static_cast<double>(all_dense ? dense[x] : table[x]); };
  column_block& b = s.block;
  for (std::size_t j = 0; j + 1 < b.starts.size(); ++j) {
    std::int64_t c = 0;
    double logs = 0.0;
    for (std::size_t i = b.starts[j]; i < b.starts[j + 1]; ++i) {
      c += b.counts[i];
      logs += entry(b.counts[i]);
    }
    if (b.in_row_order[j] == 0 && !(logs < exact_sums_below)) {
      s.by_row.clear();
      for (std::size_t i = b.starts[j]; i < b.starts[j + 1]; ++i) s.by_row.emplace_back(b.rows[i], b.counts[i]);
      std::sort(s.by_row.begin(), s.by_row.end());
      logs = 0.0;
      for (const auto& [row, count] : s.by_row) logs += entry(count);
    }
    sums.counts[s.first + j] = c;
    sums.logs[s.first + j] = logs;
  }
}


column_totals totals_of(nonzero_columns& source, worker* helper) {
  const std::size_t side = source.side();
  column_sums sums(side);  // one for both threads: their columns never meet
  log_factorial_table table(1);
  auto shares = std::make_unique<std::vector<column_share>>(helper != nullptr && helper->has_thread() ? 2 : 1);
  const auto counts_of = [](const column_share& s) { return std::span<const std::int32_t>(s.block.counts); };
  const auto add = [&](column_share& s, const log_factorial_table& t, bool all_dense) {
    add_columns(s, t, all_dense, sums);
  };
  try {
    for (std::size_t band = 0; band < source.bands(); ++band) {
      std::size_t first, end;
      source.load_band(band, first, end, helper);
      row_claims claims(first, end);
      const auto end_after = [&](std::size_t at) { return source.columns_for(at, std::size_t{1} << 15); };
      const auto read = [&](column_share& s) {
        std::size_t from, to;
        if (!claims.claim(end_after, from, to)) return false;
        source.read_columns(from, to, s.block);
        s.first = from;
        s.bound = or_of_words(s.block.counts);
        return true;
      };
      add_in_shares(*shares, table, helper, read, counts_of, add);
    }
  } catch (const std::invalid_argument&) {
    // Which refusal a thread met first depends on how the columns fell: name the first in row
    // order instead, as a pass over the rows would.
    source.refuse_first_in_row_order();
    throw;
  }
  return {std::move(table), std::move(sums)};
}

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

// Keys in a buffer of bytes, 8 a key: the radix sort below moves them between two such buffers,
// one of them the records' own memory, and memcpy reads and writes them there without breaking
// the rules on which types may reach which memory.
std::uint64_t key_at(const std::byte* keys, std::size_t i) {
  std::uint64_t key;
  std::memcpy(&key, keys + 8 * i, 8);
  return key;
}

void put_key(std::byte* keys, std::size_t i, std::uint64_t key) { std::memcpy(keys + 8 * i, &key, 8); }

// Sorts n keys whose lower halves ascend by their upper halves, keeping equal upper halves in
// the order they come: which sorts them, as their lower halves then ascend too. A radix sort of
// three passes of eleven bits, the counts of all three taken in one pass and a pass skipped
// where every key has the same digit (a million keys in about 5 ms, a third less than four
// passes of eight bits). Returns keys or spare, whichever holds the result.
std::byte* sort_by_upper_halves(std::byte* keys, std::byte* spare, std::size_t n) {
  constexpr int digit_bits = 11;
  constexpr std::size_t digits = std::size_t{1} << digit_bits;
  constexpr int passes = (32 + digit_bits - 1) / digit_bits;
  std::array<std::array<std::size_t, digits>, passes> starts{};
  for (std::size_t i = 0; i < n; ++i) {
    const auto upper = static_cast<std::uint32_t>(key_at(keys, i) >> 32);
    for (int p = 0; p < passes; ++p) ++starts[p][(upper >> (digit_bits * p)) & (digits - 1)];
  }
  for (int p = 0; p < passes && n > 0; ++p) {
    const int shift = 32 + digit_bits * p;
    if (starts[p][(key_at(keys, 0) >> shift) & (digits - 1)] == n) continue;
    std::exclusive_scan(starts[p].begin(), starts[p].end(), starts[p].begin(), std::size_t{0});
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t key = key_at(keys, i);
      put_key(spare, starts[p][(key >> shift) & (digits - 1)]++, key);
    }
    std::swap(keys, spare);
  }
  return keys;
}

// The order straight from the totals: each column's key made from its score as it is
// computed, without a record between (a million items rank in a few milliseconds less).
rank_order order_of(column_totals t) {
  prepare_scores(t);
  const std::size_t n = t.sums.counts.size();
  large_vector<std::uint64_t> keys(n), spare(n);
  for (std::size_t k = 0; k < n; ++k) keys[k] = rank_key({static_cast<std::int32_t>(k), score_of(t, k)});
  const std::byte* sorted = sort_by_upper_halves(reinterpret_cast<std::byte*>(keys.data()),
                                                 reinterpret_cast<std::byte*>(spare.data()), n);
  rank_order order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::int32_t>(key_at(sorted, i) & 0xffffffffu);
  return order;
}

}  // namespace

int compare_rank(const column_rank& a, const column_rank& b) {
  if (b.score > a.score) return 1;
  if (a.score > b.score) return -1;
  return (a.column > b.column) - (a.column < b.column);
}

rank_order rank_columns(std::span<column_rank> records) {
  static_assert(sizeof(column_rank) == sizeof(std::uint64_t));
  const std::size_t n = records.size();
  large_vector<std::uint64_t> key_space(n);
  std::transform(records.begin(), records.end(), key_space.begin(), rank_key);
  auto* keys = reinterpret_cast<std::byte*>(key_space.data());
  // Records come in column order from the scoring; any other order is sorted whole. The radix
  // sort's spare room is the records' own memory, a key's size apiece, which saves a buffer as
  // large as they are.
  const auto column_of = [](std::uint64_t key) { return key & 0xffffffffu; };
  if (std::is_sorted(key_space.begin(), key_space.end(),
                     [&](std::uint64_t a, std::uint64_t b) { return column_of(a) < column_of(b); })) {
    keys = sort_by_upper_halves(keys, reinterpret_cast<std::byte*>(records.data()), n);
  } else {
    std::sort(key_space.begin(), key_space.end());
  }
  // The order, and the records in rank order as the comparison sorts them (a key is read before
  // the record in its place is written).
  rank_order order(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = key_at(keys, i);
    const auto rising = ~static_cast<std::uint32_t>(key >> 32);
    const std::uint32_t bits = (rising & 0x80000000u) != 0 ? rising & 0x7fffffffu : ~rising;
    order[i] = static_cast<std::int32_t>(key & 0xffffffffu);
    records[i] = {order[i], std::bit_cast<float>(bits)};
  }
  return order;
}

column_ranks scores_from_sums(std::span<const std::int64_t> counts, std::span<const double> entries) {
  column_totals t{log_factorial_table(1), column_sums(counts.size())};
  std::copy(counts.begin(), counts.end(), t.sums.counts.begin());
  std::copy(entries.begin(), entries.end(), t.sums.logs.begin());
  return records_of(std::move(t));
}

column_ranks score_columns(row_source& source, worker* helper) { return records_of(totals_of(source, helper)); }
column_ranks score_columns(nonzero_source& source, worker* helper) { return records_of(totals_of(source, helper)); }
column_ranks score_columns(nonzero_columns& source, worker* helper) { return records_of(totals_of(source, helper)); }

rank_order rank_matrix(nonzero_columns& source, worker* helper) { return order_of(totals_of(source, helper)); }
rank_order rank_matrix(nonzero_source& source, worker* helper) { return order_of(totals_of(source, helper)); }

rank_order rank_matrix(row_source& source, worker* helper) {
  if (source.rows() == 0) {
    // Every column scores 0, so the order is the columns in ascending order. A header may ask
    // for up to 2^31 - 1 such columns in a file of 8 bytes: nothing but the order itself is
    // worth allocating for them.
    rank_order order(source.columns());
    std::iota(order.begin(), order.end(), 0);
    return order;
  }
  return order_of(totals_of(source, helper));
}

}  // namespace tornavel
