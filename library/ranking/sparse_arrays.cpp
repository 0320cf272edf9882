#include "ranking/sparse_arrays.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

namespace tornavel {
namespace {

using std::to_string;

// Indices and pointers of int32 or int64, the two SciPy makes.
void require_index_type(const typed_array& a, const char* what) {
  if (a.type != element_type::i32 && a.type != element_type::i64) {
    throw type_refused(std::string(what) + " must be int32 or int64");
  }
}

// Calls f with samples of the index and value types.
template <typename F>
void with_entry_types(const typed_array& indices, const typed_array& values, F&& f) {
  with_element_type(values.type, [&](auto value_sample) {
    if (indices.type == element_type::i32) {
      f(std::int32_t{}, value_sample);
    } else {
      f(std::int64_t{}, value_sample);
    }
  });
}

// Entries from .. to - 1 converted into to_index and to_count, in a loop without branches that
// the compiler can make into vector instructions; false if an index lies outside 0 .. side - 1
// or a value is not a count.
template <typename I, typename T>
bool convert_entries(const typed_array& indices, const typed_array& values, std::int64_t from,
                     std::int64_t to, std::size_t side, std::int32_t* to_index, std::int32_t* to_count) {
  const I* index = indices.as<I>() + from;
  const T* value = values.as<T>() + from;
  const auto n = static_cast<std::size_t>(to - from);
  bool fault = false;
  for (std::size_t i = 0; i < n; ++i) {
    fault |= static_cast<std::uint64_t>(index[i]) >= side;  // a negative index too
    to_index[i] = static_cast<std::int32_t>(index[i]);
    to_count[i] = count_or_fault(value[i], fault);
  }
  return !fault;
}

bool convert_entries(const typed_array& indices, const typed_array& values, std::int64_t from,
                     std::int64_t to, std::size_t side, std::int32_t* to_index, std::int32_t* to_count) {
  bool ok = true;
  with_entry_types(indices, values, [&](auto index_sample, auto value_sample) {
    ok = convert_entries<decltype(index_sample), decltype(value_sample)>(indices, values, from, to, side,
                                                                         to_index, to_count);
  });
  return ok;
}

// Entry i, read once, for the slow path that names a fault: its index as stored, whether that
// lies within 0 .. side - 1, its count (0 if refused) and why its value is refused ("" if not).
struct one_entry {
  std::int64_t index;
  bool index_ok;
  std::int32_t count;
  std::string fault;
};

one_entry entry_at(const typed_array& indices, const typed_array& values, std::int64_t i, std::size_t side) {
  one_entry e{};
  with_entry_types(indices, values, [&](auto index_sample, auto value_sample) {
    using I = decltype(index_sample);
    using T = decltype(value_sample);
    const I index = indices.as<I>()[i];
    const T value = values.as<T>()[i];
    e.index = static_cast<std::int64_t>(index);
    e.index_ok = static_cast<std::uint64_t>(index) < side;
    bool fault = false;
    e.count = count_or_fault(value, fault);
    if (fault) {
      e.fault = value_fault_of(value);
      e.count = 0;
    }
  });
  return e;
}

std::string outside(std::size_t side) { return "outside 0 .. " + std::to_string(static_cast<std::int64_t>(side) - 1); }

// Moves the entries b .. e - 1 of one line down to out (<= b), each repeated index merged into
// its first entry; returns the new end. seen holds a position per index, valid only where it
// points at an entry of this line with that index, so it is never cleared; positions are
// counted from the line's start in 32 bits (a line of 2^32 entries or more is sorted instead).
// A sum beyond 2^31 - 1 is left unmade and reported to overflow(index).
template <typename Overflow>
std::size_t merge_repeats(std::int32_t* index, std::int32_t* count, std::size_t b, std::size_t e,
                          std::size_t out, std::vector<std::uint32_t>& seen, std::size_t side,
                          const Overflow& overflow) {
  const std::size_t line_start = out;
  if (e - b > std::numeric_limits<std::uint32_t>::max()) {
    std::vector<std::pair<std::int32_t, std::int32_t>> entries;
    for (std::size_t i = b; i < e; ++i) entries.emplace_back(index[i], count[i]);
    std::stable_sort(entries.begin(), entries.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    for (const auto& [k, x] : entries) {
      if (out > line_start && index[out - 1] == k) {
        if (__builtin_add_overflow(count[out - 1], x, &count[out - 1])) overflow(k);
        continue;
      }
      index[out] = k;
      count[out++] = x;
    }
    return out;
  }
  if (seen.size() < side) seen.resize(side);
  for (std::size_t i = b; i < e; ++i) {
    const auto k = static_cast<std::size_t>(index[i]);
    const std::size_t at = line_start + seen[k];
    if (at < out && static_cast<std::size_t>(index[at]) == k) {
      if (__builtin_add_overflow(count[at], count[i], &count[at])) overflow(index[i]);
      continue;
    }
    seen[k] = static_cast<std::uint32_t>(out - line_start);
    index[out] = index[i];
    count[out] = count[i];
    ++out;
  }
  return out;
}

// Moves entries b .. e - 1 down to out, or, where their indices do not rise, merges repeated
// ones; returns the new end and sets rising.
template <typename Overflow>
std::size_t settle_line(std::vector<std::int32_t>& index, std::vector<std::int32_t>& count, std::size_t b,
                        std::size_t e, std::size_t out, std::vector<std::uint32_t>& seen, std::size_t side,
                        bool& rising, const Overflow& overflow) {
  rising = true;
  for (std::size_t i = b + 1; i < e; ++i) rising &= index[i - 1] < index[i];
  if (!rising) return merge_repeats(index.data(), count.data(), b, e, out, seen, side, overflow);
  if (out != b) {
    std::copy(index.begin() + static_cast<std::ptrdiff_t>(b), index.begin() + static_cast<std::ptrdiff_t>(e),
              index.begin() + static_cast<std::ptrdiff_t>(out));
    std::copy(count.begin() + static_cast<std::ptrdiff_t>(b), count.begin() + static_cast<std::ptrdiff_t>(e),
              count.begin() + static_cast<std::ptrdiff_t>(out));
  }
  return out + (e - b);
}

// Whether the indices of every line of a block rise: the places where an index does not rise
// past the one before, counted in one pass that becomes vector instructions, are all where a
// line starts. starts: the lines' starts within the block, the first 0.
template <typename Starts>
bool every_line_rises(const std::int32_t* index, std::size_t entries, const Starts& starts, std::size_t lines) {
  std::size_t falls = 0;
  for (std::size_t i = 1; i < entries; ++i) falls += index[i - 1] >= index[i];
  std::size_t at_starts = 0;
  for (std::size_t l = 1, before = 0; l < lines; ++l) {
    const auto at = static_cast<std::size_t>(starts(l));
    at_starts += at != before && at < entries && index[at - 1] >= index[at];  // empty lines share a start
    before = at;
  }
  return falls == at_starts;
}

// The end of the lines from first on that hold about most entries: the first whose start is at
// least that far on, at least first + 1 and at most last.
std::size_t lines_for(const large_vector<std::int64_t>& starts, std::size_t first, std::size_t last,
                      std::size_t most) {
  const std::int64_t target = starts[first] + static_cast<std::int64_t>(most);
  const auto begin = starts.begin() + static_cast<std::ptrdiff_t>(first + 1);
  const auto end = starts.begin() + static_cast<std::ptrdiff_t>(last + 1);
  return std::min(static_cast<std::size_t>(std::lower_bound(begin, end, target) - starts.begin()), last);
}

[[noreturn]] void refuse_changed() {
  throw std::invalid_argument("the sparse matrix changed while it was read");
}

}  // namespace

large_vector<std::int64_t> checked_pointers(std::size_t side, const typed_array& pointers,
                                           const typed_array& indices, std::size_t values,
                                           const char* line) {
  require_index_type(pointers, "indptr");
  require_index_type(indices, "indices");
  if (pointers.size != side + 1) {
    throw std::invalid_argument("indptr has " + to_string(pointers.size) + " entries where " +
                                to_string(side) + " " + line + "s take " + to_string(side + 1));
  }
  const auto entries = static_cast<std::int64_t>(std::min(indices.size, values));
  large_vector<std::int64_t> starts(side + 1);
  bool rising = true;
  const auto copy = [&](auto sample) {
    using I = decltype(sample);
    const I* from = pointers.as<I>();
    for (std::size_t i = 0; i <= side; ++i) starts[i] = from[i];
    for (std::size_t i = 1; i <= side; ++i) rising &= starts[i - 1] <= starts[i];
  };
  if (pointers.type == element_type::i32) {
    copy(std::int32_t{});
  } else {
    copy(std::int64_t{});
  }
  if (starts[0] < 0) throw std::invalid_argument("indptr starts below 0 (" + to_string(starts[0]) + ")");
  for (std::size_t i = 1; i <= side && !rising; ++i) {
    if (starts[i] < starts[i - 1]) {
      throw std::invalid_argument("indptr falls at " + to_string(i) + " (" + to_string(starts[i - 1]) +
                                  ", then " + to_string(starts[i]) + ")");
    }
  }
  if (starts[side] > entries) {
    throw std::invalid_argument("indptr ends at " + to_string(starts[side]) + ", past the " +
                                to_string(entries) + " entries of indices and data");
  }
  return starts;
}

compressed_rows::compressed_rows(const compressed_arrays& csr, interruption* stop)
    : compressed_rows(csr.side, checked_pointers(csr.side, csr.pointers, csr.indices, csr.values.size, "row"),
                      csr.indices, csr.values, stop) {}

compressed_rows::compressed_rows(std::size_t side, large_vector<std::int64_t> starts, typed_array columns,
                                 typed_array values, interruption* stop)
    : side_(side), starts_(std::move(starts)), columns_(columns), values_(values), stop_(stop) {}

std::size_t compressed_rows::rows_for(std::size_t first, std::size_t most_entries) const {
  return lines_for(starts_, first, side_, most_entries);
}

void compressed_rows::read_rows(std::size_t first, std::size_t end, nonzero_block& block) const {
  poll(stop_);
  const std::int64_t from = starts_[first], to = starts_[end];
  const auto n = static_cast<std::size_t>(to - from);
  block.columns.resize(n);
  block.counts.resize(n);
  if (!convert_entries(columns_, values_, from, to, side_, block.columns.data(), block.counts.data())) {
    refuse_within(first, end);
  }
  const auto start_of = [&](std::size_t l) { return starts_[first + l] - from; };
  if (every_line_rises(block.columns.data(), n, start_of, end - first)) return;  // no repeats
  std::size_t out = 0;
  for (std::size_t r = first; r < end; ++r) {
    std::int64_t overflow = -1;
    bool rising;
    out = settle_line(block.columns, block.counts, static_cast<std::size_t>(starts_[r] - from),
                      static_cast<std::size_t>(starts_[r + 1] - from), out, block.seen, side_, rising,
                      [&](std::int32_t k) { if (overflow < 0 || k < overflow) overflow = k; });
    // Earlier rows of the block hold no fault, or it would have been named already.
    if (overflow >= 0) throw value_refused(static_cast<std::int64_t>(r), overflow, repeated_entries_beyond());
  }
  block.columns.resize(out);
  block.counts.resize(out);
}

void compressed_rows::refuse_within(std::size_t first, std::size_t end) const {
  for (std::size_t r = first; r < end; ++r) {
    std::int64_t column = -1;
    std::string why;
    for (std::int64_t i = starts_[r]; i < starts_[r + 1]; ++i) {
      const one_entry e = entry_at(columns_, values_, i, side_);
      if (!e.index_ok) {
        throw std::invalid_argument("column index " + to_string(e.index) + " of row " + to_string(r) + " lies " +
                                    outside(side_));
      }
      if (!e.fault.empty() && (column < 0 || e.index < column)) column = e.index, why = e.fault;
    }
    if (column >= 0) throw value_refused(static_cast<std::int64_t>(r), column, why);
  }
  refuse_changed();  // the fault seen a moment ago is gone
}

compressed_columns::compressed_columns(const compressed_arrays& csc, interruption* stop)
    : compressed_columns(csc.side, 0,
                         checked_pointers(csc.side, csc.pointers, csc.indices, csc.values.size, "column"),
                         csc.indices, csc.values, stop) {}

compressed_columns::compressed_columns(std::size_t side, std::size_t first_column,
                                       large_vector<std::int64_t> starts, typed_array rows,
                                       typed_array values, interruption* stop)
    : side_(side), first_column_(first_column), starts_(std::move(starts)), rows_(rows), values_(values),
      stop_(stop) {}

std::size_t compressed_columns::columns_for(std::size_t first, std::size_t most_entries) const {
  return first_column_ + lines_for(starts_, first - first_column_, starts_.size() - 1, most_entries);
}

void compressed_columns::read_columns(std::size_t first, std::size_t end, column_block& block,
                                      first_refusal* refusals) const {
  poll(stop_);
  const std::size_t a = first - first_column_, z = end - first_column_;
  const std::int64_t from = starts_[a], to = starts_[z];
  const auto n = static_cast<std::size_t>(to - from);
  block.rows.resize(n);
  block.counts.resize(n);
  block.starts.resize(z - a + 1);
  block.in_row_order.resize(z - a);
  if (!convert_entries(rows_, values_, from, to, side_, block.rows.data(), block.counts.data())) {
    // Entry by entry: a malformed index ends the read; a refused value is named, or offered and
    // counted as 0 so that the rest can be read.
    for (std::size_t j = a; j < z; ++j) {
      const auto k = static_cast<std::int64_t>(first_column_ + j);
      for (std::int64_t i = starts_[j]; i < starts_[j + 1]; ++i) {
        const one_entry e = entry_at(rows_, values_, i, side_);
        if (!e.index_ok) {
          throw std::invalid_argument("row index " + to_string(e.index) + " of column " + to_string(k) +
                                      " lies " + outside(side_));
        }
        block.rows[static_cast<std::size_t>(i - from)] = static_cast<std::int32_t>(e.index);
        block.counts[static_cast<std::size_t>(i - from)] = e.count;
        if (e.fault.empty()) continue;
        if (refusals == nullptr) throw value_refused(e.index, k, e.fault);
        refusals->offer(e.index, k, e.fault);
      }
    }
  }
  const auto start_of = [&](std::size_t l) { return starts_[a + l] - from; };
  if (every_line_rises(block.rows.data(), n, start_of, z - a)) {
    for (std::size_t j = a; j <= z; ++j) block.starts[j - a] = static_cast<std::size_t>(starts_[j] - from);
    std::fill(block.in_row_order.begin(), block.in_row_order.end(), 1);
    return;
  }
  std::size_t out = 0;
  for (std::size_t j = a; j < z; ++j) {
    const auto k = static_cast<std::int64_t>(first_column_ + j);
    block.starts[j - a] = out;
    bool rising;
    out = settle_line(block.rows, block.counts, static_cast<std::size_t>(starts_[j] - from),
                      static_cast<std::size_t>(starts_[j + 1] - from), out, block.seen, side_, rising,
                      [&](std::int32_t r) {
                        if (refusals == nullptr) throw value_refused(r, k, repeated_entries_beyond());
                        refusals->offer(r, k, repeated_entries_beyond());
                      });
    block.in_row_order[j - a] = rising;
  }
  block.starts[z - a] = out;
  block.rows.resize(out);
  block.counts.resize(out);
}

namespace {

// Runs f(half, first, end) over the halves 0 .. n / 2 - 1 (half 0) and the rest (half 1), the
// second on the helper if there is one, and rethrows a failure.
template <typename F>
void in_halves(std::size_t n, worker* helper, const F& f) {
  const std::size_t middle = n / 2;
  run_beside(helper, [&] { f(1, middle, n); }, [&] { f(0, 0, middle); });
}

// COO whose entries come in no useful order, read a band of columns at a time: the entries of
// each column are counted once, by halves of the entries, then each band's are gathered, column
// by column, into a buffer read as CSC, each half by a thread of its own into places of its own
// (a column's entries from the first half, then those from the second).
class coordinate_bands final : public nonzero_columns {
 public:
  // starts: of each column's entries; second_half: how many of each column's are in the second
  // half of the entries.
  coordinate_bands(const coordinate_arrays& coo, large_vector<std::int64_t> starts,
                   large_vector<std::int64_t> second_half, interruption* stop, std::size_t band_entries)
      : coo_(coo), starts_(std::move(starts)), second_half_(std::move(second_half)), stop_(stop) {
    band_starts_.push_back(0);
    std::int64_t held = 0;
    for (std::size_t k = 0; k < coo.side; ++k) {
      const std::int64_t length = starts_[k + 1] - starts_[k];
      if (k > band_starts_.back() && held + length > static_cast<std::int64_t>(band_entries)) {
        band_starts_.push_back(k);
        held = 0;
      }
      held += length;
    }
    band_starts_.push_back(coo.side);
  }

  std::size_t side() const override { return coo_.side; }
  std::size_t bands() const override { return band_starts_.size() - 1; }
  void load_band(std::size_t band, std::size_t& first, std::size_t& end, worker* helper) override;
  std::size_t columns_for(std::size_t first, std::size_t most_entries) const override {
    return band_->columns_for(first, most_entries);
  }
  void read_columns(std::size_t first, std::size_t end, column_block& block,
                    first_refusal* refusals) const override {
    if (band_fault_.row >= 0) {
      if (refusals == nullptr) throw value_refused(band_fault_.row, band_fault_.column, band_fault_.reason);
      refusals->offer(band_fault_.row, band_fault_.column, band_fault_.reason);
    }
    band_->read_columns(first, end, block, refusals);
  }

 private:
  template <typename I, typename T>
  void gather(std::size_t from, std::size_t to, std::size_t first, std::size_t end,
              large_vector<std::int64_t>& cursor, first_refusal& fault);

  coordinate_arrays coo_;
  large_vector<std::int64_t> starts_;       // column k's entries: starts_[k + 1] - starts_[k] of them
  large_vector<std::int64_t> second_half_;  // and of those, in the second half of the entries
  std::vector<std::size_t> band_starts_;    // the first column of each band, then the side
  interruption* stop_;
  large_vector<std::int64_t> cursors_[2];   // each half's next place in each column of the band
  large_vector<std::int32_t> band_rows_, band_counts_;
  std::unique_ptr<compressed_columns> band_;
  first_refusal band_fault_;  // the first refused value of the band loaded
};

// Gathers the band's entries among entries from .. to - 1, each into the next of its half's
// places in its column.
template <typename I, typename T>
void coordinate_bands::gather(std::size_t from, std::size_t to, std::size_t first, std::size_t end,
                              large_vector<std::int64_t>& cursor, first_refusal& fault) {
  const I* rows = coo_.rows.as<I>();
  const I* columns = coo_.columns.as<I>();
  const T* values = coo_.values.as<T>();
  const std::int64_t base = starts_[first];
  const std::size_t span = end - first;
  constexpr std::size_t piece = std::size_t{1} << 20;
  for (std::size_t at = from; at < to; at += piece) {
    poll(stop_);
    for (std::size_t i = at; i < std::min(to, at + piece); ++i) {
      const auto j = static_cast<std::uint64_t>(columns[i]) - first;
      if (j >= span) continue;
      const auto r = static_cast<std::uint64_t>(rows[i]);
      const std::int64_t place = cursor[j]++;
      if (place >= starts_[first + j + 1] || r >= coo_.side) refuse_changed();
      bool refused = false;
      std::int32_t count = count_or_fault(values[i], refused);
      if (refused) {
        fault.offer(static_cast<std::int64_t>(r), static_cast<std::int64_t>(first + j), value_fault_of(values[i]));
        count = 0;
      }
      band_rows_[static_cast<std::size_t>(place - base)] = static_cast<std::int32_t>(r);
      band_counts_[static_cast<std::size_t>(place - base)] = count;
    }
  }
}

void coordinate_bands::load_band(std::size_t band, std::size_t& first, std::size_t& end, worker* helper) {
  first = band_starts_[band];
  end = band_starts_[band + 1];
  const std::int64_t base = starts_[first];
  const auto size = static_cast<std::size_t>(starts_[end] - base);
  band_.reset();
  band_rows_.resize(size);
  band_counts_.resize(size);
  for (large_vector<std::int64_t>& cursor : cursors_) cursor.resize(end - first);
  for (std::size_t k = first; k < end; ++k) {
    cursors_[0][k - first] = starts_[k];
    cursors_[1][k - first] = starts_[k + 1] - second_half_[k];
  }
  first_refusal faults[2];
  in_halves(coo_.values.size, helper, [&](int half, std::size_t from, std::size_t to) {
    with_entry_types(coo_.rows, coo_.values, [&](auto index_sample, auto value_sample) {
      gather<decltype(index_sample), decltype(value_sample)>(from, to, first, end, cursors_[half], faults[half]);
    });
  });
  band_fault_ = faults[0];
  if (faults[1].row >= 0) band_fault_.offer(faults[1].row, faults[1].column, faults[1].reason);
  // Every column as full as it was counted, or the arrays changed in between.
  for (std::size_t k = first; k < end; ++k) {
    if (cursors_[0][k - first] != starts_[k + 1] - second_half_[k] || cursors_[1][k - first] != starts_[k + 1]) {
      refuse_changed();
    }
  }
  large_vector<std::int64_t> local(end - first + 1);
  for (std::size_t j = 0; j < local.size(); ++j) local[j] = starts_[first + j] - base;
  band_ = std::make_unique<compressed_columns>(coo_.side, first, std::move(local),
                                               typed_array{band_rows_.data(), element_type::i32, size},
                                               typed_array{band_counts_.data(), element_type::i32, size}, stop_);
}

// What one pass over the entries finds: whether every index lies within the side, and whether
// they rise by row and then column, or by column and then row (each strictly: no place twice).
struct entry_order {
  bool in_range = true, by_row = true, by_column = true;
};

template <typename I>
entry_order order_of(const I* rows, const I* columns, std::size_t from, std::size_t to, std::size_t side,
                     interruption* stop) {
  entry_order o;
  constexpr std::size_t piece = std::size_t{1} << 20;
  for (std::size_t at = from; at < to; at += piece) {
    poll(stop);
    const std::size_t stop_at = std::min(to, at + piece);
    bool in_range = true, by_row = true, by_column = true;
    for (std::size_t i = std::max<std::size_t>(at, 1); i < stop_at; ++i) {
      const I r0 = rows[i - 1], r1 = rows[i], k0 = columns[i - 1], k1 = columns[i];
      in_range &= static_cast<std::uint64_t>(r1) < side && static_cast<std::uint64_t>(k1) < side;
      by_row &= r0 < r1 || (r0 == r1 && k0 < k1);
      by_column &= k0 < k1 || (k0 == k1 && r0 < r1);
    }
    if (at == 0 && stop_at > 0) {
      in_range &= static_cast<std::uint64_t>(rows[0]) < side && static_cast<std::uint64_t>(columns[0]) < side;
    }
    o.in_range &= in_range;
    o.by_row &= by_row;
    o.by_column &= by_column;
  }
  return o;
}

// The starts of lines whose indices ascend: the lines after the one before entry i, up to its
// own, begin at i; those after the last entry's, at the end. Each thread sets the starts of the
// lines that begin within its half, which no other does.
template <typename I>
void starts_of_sorted(const I* lines, std::size_t from, std::size_t to, std::size_t n, std::size_t side,
                      large_vector<std::int64_t>& starts) {
  for (std::size_t i = from; i < to; ++i) {
    const auto l = static_cast<std::uint64_t>(lines[i]);
    if (l >= side) refuse_changed();  // read again since the first pass
    const std::size_t after = i == 0 ? 0 : static_cast<std::size_t>(lines[i - 1]) + 1;
    for (std::size_t k = after; k <= l; ++k) starts[k] = static_cast<std::int64_t>(i);
  }
  if (to == n && n > 0) {
    const auto last = static_cast<std::uint64_t>(lines[n - 1]);
    if (last >= side) refuse_changed();
    for (std::size_t k = static_cast<std::size_t>(last) + 1; k <= side; ++k) starts[k] = static_cast<std::int64_t>(n);
  }
}

}  // namespace

coordinate_source::coordinate_source(const coordinate_arrays& coo, interruption* stop, worker* helper,
                                     std::size_t band_entries) {
  require_index_type(coo.rows, "row");
  require_index_type(coo.columns, "col");
  if (coo.rows.type != coo.columns.type) throw type_refused("row and col must be of one dtype");
  if (coo.rows.size != coo.columns.size || coo.rows.size != coo.values.size) {
    throw std::invalid_argument("row, col and data hold " + to_string(coo.rows.size) + ", " +
                                to_string(coo.columns.size) + " and " + to_string(coo.values.size) + " entries");
  }
  const std::size_t n = coo.values.size;
  const std::size_t side = coo.side;
  large_vector<std::int64_t> starts(side + 1), second_half;
  entry_order found;
  with_entry_types(coo.rows, coo.values, [&](auto index_sample, auto) {
    using I = decltype(index_sample);
    const I* rows = coo.rows.as<I>();
    const I* columns = coo.columns.as<I>();
    entry_order halves[2];
    in_halves(n, helper, [&](int half, std::size_t from, std::size_t to) {
      // The second half's first pair reaches back into the first half.
      halves[half] = order_of(rows, columns, from == 0 ? 0 : from - 1, to, side, stop);
    });
    found = {halves[0].in_range && halves[1].in_range, halves[0].by_row && halves[1].by_row,
             halves[0].by_column && halves[1].by_column};
    if (!found.in_range) {
      for (std::size_t i = 0; i < n; ++i) {
        for (const auto& [index, name] : {std::pair{rows[i], "row"}, std::pair{columns[i], "column"}}) {
          if (static_cast<std::uint64_t>(index) >= side) {
            throw std::invalid_argument("entry " + to_string(i) + ": " + name + " index " +
                                        to_string(static_cast<std::int64_t>(index)) + " lies " + outside(side));
          }
        }
      }
      refuse_changed();
    }
    // The starts come from a second read of the indices, which may differ from the first: any
    // index is still checked before it is used, and no start can pass the entries.
    if (found.by_row || found.by_column) {
      const I* lines = found.by_row ? rows : columns;
      if (n == 0) {
        std::fill(starts.begin(), starts.end(), 0);
        return;
      }
      in_halves(n, helper, [&](int, std::size_t from, std::size_t to) { starts_of_sorted(lines, from, to, n, side, starts); });
      // Indices changed since the first pass could leave the starts out of order.
      for (std::size_t l = 0; l < side; ++l) {
        if (starts[l] > starts[l + 1]) refuse_changed();
      }
      if (starts[side] != static_cast<std::int64_t>(n) || starts[0] != 0) refuse_changed();
      return;
    }
    // Entries in no order: each column's counted, a half on each thread.
    std::fill(starts.begin(), starts.end(), 0);
    large_vector<std::int64_t> other(side + 1, 0);
    in_halves(n, helper, [&](int half, std::size_t from, std::size_t to) {
      large_vector<std::int64_t>& counts = half == 0 ? starts : other;
      for (std::size_t i = from; i < to; ++i) {
        const auto k = static_cast<std::uint64_t>(columns[i]);
        if (k >= side) refuse_changed();
        ++counts[k + 1];
      }
    });
    for (std::size_t k = 0; k < side; ++k) starts[k + 1] += starts[k] + other[k + 1];
    other.erase(other.begin());  // a column's count at its own index
    second_half = std::move(other);
  });
  if (found.by_row) {
    rows_ = std::make_unique<compressed_rows>(side, std::move(starts), coo.columns, coo.values, stop);
  } else if (found.by_column) {
    columns_ = std::make_unique<compressed_columns>(side, 0, std::move(starts), coo.rows, coo.values, stop);
  } else {
    columns_ = std::make_unique<coordinate_bands>(coo, std::move(starts), std::move(second_half), stop, band_entries);
  }
}

coordinate_source::~coordinate_source() = default;

}  // namespace tornavel
