#include "ranking/reorder.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "ranking/row_kernels.h"
#include "ranking/sparse_arrays.h"

namespace tornavel {
namespace {

// How far ahead of the row being gathered the source is told what comes: about 4 MiB of rows,
// so that a disk can read them while this one is gathered.
std::size_t lookahead_rows(std::size_t columns) {
  return std::max<std::size_t>(1, (std::size_t{1} << 20) / std::max<std::size_t>(columns, 1));
}

// Output row l from input row order[l]: to[k] = from[order[k]]. A row that is mostly zeros is
// cleared and its non-zero counts put in their places instead (position[j] is the k with
// order[k] == j): the same row, for the cost of its non-zero counts rather than of a gather.
// Whether a row is mostly zeros is judged from 64 of its counts; either way is exact.
void permute_row(const std::int32_t* from, std::span<const std::int32_t> order,
                 std::span<const std::int32_t> position, std::int32_t* to,
                 void (*gather_row)(const std::int32_t*, const std::int32_t*, std::int32_t*,
                                    std::size_t)) {
  const std::size_t columns = order.size();
  constexpr std::size_t samples = 64;
  std::size_t busy = 0;
  if (columns >= 16 * samples) {
    for (std::size_t i = 0; i < samples; ++i) busy += from[i * (columns / samples)] != 0;
  }
  if (columns < 16 * samples || busy > samples / 16) {
    gather_row(from, order.data(), to, columns);
    return;
  }
  std::fill(to, to + columns, 0);
  for_each_busy_run(from, columns, [&](std::size_t first, std::size_t end) {
    for (std::size_t k = first; k < end; ++k) {
      if (from[k] != 0) to[position[k]] = from[k];
    }
  });
}

}  // namespace

std::vector<std::int32_t> positions_of(std::span<const std::int32_t> order) {
  std::vector<std::int32_t> position(order.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    position[static_cast<std::size_t>(order[k])] = static_cast<std::int32_t>(k);
  }
  return position;
}

void reorder_rows(row_source& source, std::span<const std::int32_t> order,
                  std::span<const std::int32_t> position, std::size_t first_row,
                  std::span<std::int32_t> out, std::span<std::int32_t> row_scratch) {
  const std::size_t columns = source.columns();
  const std::size_t rows = source.rows();
  if (columns == 0) return;
  const auto gather_row = fastest_row_kernels().gather_row;
  const std::size_t ahead = lookahead_rows(columns);
  const std::size_t count = out.size() / columns;
  for (std::size_t l = first_row; l < std::min(first_row + ahead, rows); ++l) {
    source.will_need(static_cast<std::size_t>(order[l]));
  }
  for (std::size_t i = 0; i < count; ++i) {
    // Output rows in order: the writes are sequential and each row gathers from a single input
    // row, which fits in the cache while it is read.
    const std::size_t l = first_row + i;
    if (l + ahead < rows) source.will_need(static_cast<std::size_t>(order[l + ahead]));
    const std::span<const std::int32_t> from =
        source.read_rows(static_cast<std::size_t>(order[l]), 1, row_scratch);
    permute_row(from.data(), order, position, out.data() + i * columns, gather_row);
  }
}

std::vector<std::int32_t> reorder_matrix(row_source& source, std::span<const std::int32_t> order) {
  std::vector<std::int32_t> out(source.rows() * source.columns());
  std::vector<std::int32_t> row(source.columns());
  source.expect_rows_out_of_order();
  reorder_rows(source, order, positions_of(order), 0, out, row);
  return out;
}

}  // namespace tornavel

namespace tornavel {
namespace {

// Runs lines 0 .. count - 1 through f, even ones here and odd ones on the helper, and rethrows
// the failure of the lowest line that failed: the one a single thread going in order would meet.
template <typename F>
void alternate_lines(std::size_t count, worker* helper, const F& f) {
  struct half_result {
    std::size_t failed_at = static_cast<std::size_t>(-1);
    std::exception_ptr failure;
  };
  half_result halves[2];
  const auto half = [&](std::size_t parity) {
    for (std::size_t l = parity; l < count; l += 2) {
      try {
        f(l);
      } catch (...) {
        halves[parity] = {l, std::current_exception()};
        return;
      }
    }
  };
  if (helper != nullptr) {
    helper->run_beside([&] { half(1); }, [&] { half(0); });
  } else {
    half(0);
    half(1);
  }
  const half_result& first = halves[0].failed_at < halves[1].failed_at ? halves[0] : halves[1];
  if (first.failure) std::rethrow_exception(first.failure);
}

template <typename T>
void gather_elements(const char* row, std::ptrdiff_t stride, std::span<const std::int32_t> order, char* out) {
  for (std::size_t k = 0; k < order.size(); ++k) {
    T value;
    std::memcpy(&value, row + static_cast<std::ptrdiff_t>(order[k]) * stride, sizeof value);
    std::memcpy(out + k * sizeof value, &value, sizeof value);
  }
}

[[noreturn]] void refuse_index(std::int64_t index, const char* line, std::size_t at, std::size_t side) {
  throw std::invalid_argument("index " + std::to_string(index) + " of " + line + " " + std::to_string(at) +
                              " lies outside 0 .. " + std::to_string(static_cast<std::int64_t>(side) - 1));
}

}  // namespace

large_vector<std::int32_t> permutation_of(const typed_array& order, std::size_t n) {
  if (!is_index_type(order.type)) throw type_refused("the order must be integers");
  if (order.size != n) {
    throw std::invalid_argument("the order has " + std::to_string(order.size) + " entries for " +
                                std::to_string(n) + " items");
  }
  large_vector<std::int32_t> out(n);
  std::vector<bool> seen(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t entry = index_at(order, i);
    if (entry < 0 || static_cast<std::uint64_t>(entry) >= n || seen[static_cast<std::size_t>(entry)]) {
      throw std::invalid_argument("the order is not a permutation of 0 .. " + std::to_string(static_cast<std::int64_t>(n) - 1) +
                                  ": entry " + std::to_string(i) + " is " + std::to_string(entry));
    }
    seen[static_cast<std::size_t>(entry)] = true;
    out[i] = static_cast<std::int32_t>(entry);
  }
  return out;
}

void reorder_elements(const strided_elements& in, std::span<const std::int32_t> order, void* out,
                      worker* helper, interruption* stop) {
  const std::size_t row_bytes = in.side * in.element_bytes;
  auto* to = static_cast<char*>(out);
  alternate_lines(in.side, helper, [&](std::size_t l) {
    if (l % 64 < 2) poll(stop);
    const char* row = in.data + static_cast<std::ptrdiff_t>(order[l]) * in.row_stride;
    char* into = to + l * row_bytes;
    switch (in.element_bytes) {
      case 1: return gather_elements<std::uint8_t>(row, in.column_stride, order, into);
      case 2: return gather_elements<std::uint16_t>(row, in.column_stride, order, into);
      case 4: return gather_elements<std::uint32_t>(row, in.column_stride, order, into);
      default: return gather_elements<std::uint64_t>(row, in.column_stride, order, into);
    }
  });
}

compressed_reorder::compressed_reorder(std::size_t side, const typed_array& pointers, const typed_array& indices,
                                       const void* values, std::size_t value_count, std::size_t value_bytes,
                                       std::span<const std::int32_t> order, const char* line)
    : compressed_reorder(side, side, pointers, indices, values, value_count, value_bytes, order, typed_array{}, line) {
  positions_ = positions_of(order);
  rename_ = {positions_.data(), element_type::i32, positions_.size()};
}

compressed_reorder::compressed_reorder(std::size_t lines, std::size_t width, const typed_array& pointers,
                                       const typed_array& indices, const void* values, std::size_t value_count,
                                       std::size_t value_bytes, std::span<const std::int32_t> order,
                                       const typed_array& rename, const char* line)
    : lines_(lines),
      width_(width),
      line_(line),
      starts_(checked_pointers(lines, pointers, indices, value_count, line)),
      out_starts_(lines + 1, 0),
      indices_(indices),
      values_(static_cast<const char*>(values)),
      value_bytes_(value_bytes),
      order_(order.begin(), order.end()),
      rename_(rename) {
  if (rename_.size != 0 && rename_.size != width) throw std::invalid_argument("a renaming of every index is needed");
  if (rename_.size != 0 && rename_.type != element_type::i32 && rename_.type != element_type::i64) {
    throw type_refused("a renaming must be integers of 32 or 64 bits");
  }
  for (std::size_t l = 0; l < lines; ++l) {
    const auto from = static_cast<std::size_t>(order[l]);
    out_starts_[l + 1] = out_starts_[l] + starts_[from + 1] - starts_[from];
  }
}

void compressed_reorder::write(std::int64_t* pointers, void* indices, void* values, worker* helper,
                               interruption* stop) const {
  std::copy(out_starts_.begin(), out_starts_.end(), pointers);
  auto* to_values = static_cast<char*>(values);
  // R is the renaming's element type, or std::nullptr_t where indices are kept: chosen once, not
  // for every entry.
  const auto fill = [&](auto index_sample, auto rename_sample, std::size_t l) {
    using I = decltype(index_sample);
    using R = decltype(rename_sample);
    if (l % 1024 < 2) poll(stop);
    const auto line = static_cast<std::size_t>(order_[l]);
    const std::int64_t from = starts_[line], at = out_starts_[l];
    const auto count = static_cast<std::size_t>(out_starts_[l + 1] - at);
    const I* in = indices_.as<I>() + from;
    I* out = static_cast<I*>(indices) + at;
    for (std::size_t i = 0; i < count; ++i) {
      const I index = in[i];
      if (static_cast<std::uint64_t>(index) >= width_) refuse_index(index, line_, line, width_);
      if constexpr (std::is_same_v<R, std::nullptr_t>) {
        out[i] = index;
      } else {
        const std::int64_t name = rename_.as<R>()[static_cast<std::size_t>(index)];
        if (static_cast<std::uint64_t>(name) >= width_) {
          throw std::invalid_argument("the renaming of index " + std::to_string(index) + " lies outside 0 .. " +
                                      std::to_string(static_cast<std::int64_t>(width_) - 1));
        }
        out[i] = static_cast<I>(name);
      }
    }
    std::memcpy(to_values + static_cast<std::size_t>(at) * value_bytes_,
                values_ + static_cast<std::size_t>(from) * value_bytes_, count * value_bytes_);
  };
  const auto line_with = [&](auto index_sample, std::size_t l) {
    if (rename_.size == 0) {
      fill(index_sample, nullptr, l);
    } else if (rename_.type == element_type::i32) {
      fill(index_sample, std::int32_t{}, l);
    } else {
      fill(index_sample, std::int64_t{}, l);
    }
  };
  alternate_lines(lines_, helper, [&](std::size_t l) {
    if (indices_.type == element_type::i32) {
      line_with(std::int32_t{}, l);
    } else {
      line_with(std::int64_t{}, l);
    }
  });
}

row_groups rows_by_block(const typed_array& to, std::span<const std::int64_t> starts) {
  if (to.type != element_type::i32 && to.type != element_type::i64) {
    throw type_refused("the places must be integers of 32 or 64 bits");
  }
  if (starts.empty() || starts[0] != 0) throw std::invalid_argument("the blocks' starts must begin at 0");
  for (std::size_t b = 1; b < starts.size(); ++b) {
    if (starts[b] < starts[b - 1]) throw std::invalid_argument("the blocks' starts fall at " + std::to_string(b));
  }
  // Rows and places are named by int32, as every order is.
  constexpr auto most = std::int64_t{INT32_MAX};
  if (starts.back() > most || to.size > static_cast<std::size_t>(most)) {
    throw std::invalid_argument("more than " + std::to_string(most) + " rows or places");
  }
  const std::size_t rows = to.size, blocks = starts.size() - 1;
  large_vector<std::int32_t> place(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    const std::int64_t p = to.type == element_type::i32 ? to.as<std::int32_t>()[r] : to.as<std::int64_t>()[r];
    if (p < 0 || p >= starts.back()) {
      throw std::invalid_argument("place " + std::to_string(p) + " of row " + std::to_string(r) + " is outside 0 .. " +
                                  std::to_string(starts.back() - 1));
    }
    place[r] = static_cast<std::int32_t>(p);
  }
  // The rows sorted by place, which groups them by block as well (a block is a run of places),
  // and lets the join write each block's rows in order. A radix sort, 11 bits a pass: two passes
  // over a million places, where a comparison sort takes twenty.
  large_vector<std::int32_t> order(rows), other(rows);
  for (std::size_t r = 0; r < rows; ++r) order[r] = static_cast<std::int32_t>(r);
  constexpr int digit = 11;
  constexpr std::uint32_t mask = (1u << digit) - 1;
  std::vector<std::size_t> count(mask + 2);
  const auto largest = static_cast<std::uint32_t>(starts.back() > 0 ? starts.back() - 1 : 0);
  for (int shift = 0; shift < 32 && (largest >> shift) != 0; shift += digit) {
    std::fill(count.begin(), count.end(), 0);
    for (const std::int32_t r : order) ++count[((static_cast<std::uint32_t>(place[r]) >> shift) & mask) + 1];
    for (std::size_t d = 1; d < count.size(); ++d) count[d] += count[d - 1];
    for (const std::int32_t r : order) other[count[(static_cast<std::uint32_t>(place[r]) >> shift) & mask]++] = r;
    std::swap(order, other);
  }
  row_groups groups{std::move(order), large_vector<std::int32_t>(rows), large_vector<std::int64_t>(blocks + 1)};
  std::size_t b = 0;
  for (std::size_t i = 0; i < rows; ++i) {
    const std::int32_t p = place[static_cast<std::size_t>(groups.order[i])];
    while (p >= starts[b + 1]) groups.cuts[++b] = static_cast<std::int64_t>(i);  // the blocks that end here
    groups.places[i] = static_cast<std::int32_t>(p - starts[b]);
  }
  while (b < blocks) groups.cuts[++b] = static_cast<std::int64_t>(rows);
  return groups;
}

joined_rows::joined_rows(std::size_t lines, std::size_t width, std::vector<row_piece> pieces, std::size_t value_bytes)
    : width_(width), value_bytes_(value_bytes), pieces_(std::move(pieces)), out_starts_(lines + 1, 0) {
  if (!pieces_.empty()) index_type_ = pieces_[0].indices.type;
  std::vector<bool> placed(lines);
  std::size_t rows = 0;
  for (const row_piece& piece : pieces_) {
    if (piece.indices.type != index_type_) throw type_refused("the pieces' indices must be of one dtype");
    if (piece.places.type != element_type::i32 && piece.places.type != element_type::i64) {
      throw type_refused("the places must be integers of 32 or 64 bits");
    }
    starts_.push_back(checked_pointers(piece.places.size, piece.pointers, piece.indices, piece.value_count, "row"));
    large_vector<std::int64_t>& places = places_.emplace_back(piece.places.size);
    for (std::size_t r = 0; r < places.size(); ++r) {
      const std::int64_t place = piece.places.type == element_type::i32 ? piece.places.as<std::int32_t>()[r]
                                                                         : piece.places.as<std::int64_t>()[r];
      if (static_cast<std::uint64_t>(place) >= lines || placed[static_cast<std::size_t>(place)]) {
        throw std::invalid_argument("place " + std::to_string(place) + " is outside 0 .. " +
                                    std::to_string(static_cast<std::int64_t>(lines) - 1) + " or given twice");
      }
      placed[static_cast<std::size_t>(place)] = true;
      places[r] = place;
      out_starts_[static_cast<std::size_t>(place) + 1] = starts_.back()[r + 1] - starts_.back()[r];
    }
    rows += places.size();
  }
  if (rows != lines) throw std::invalid_argument("the pieces give " + std::to_string(rows) + " of " +
                                                 std::to_string(lines) + " rows");
  for (std::size_t l = 0; l < lines; ++l) out_starts_[l + 1] += out_starts_[l];
}

void joined_rows::write(std::int64_t* pointers, void* indices, void* values, worker* helper,
                        interruption* stop) const {
  std::copy(out_starts_.begin(), out_starts_.end(), pointers);
  const auto fill = [&](auto sample, std::size_t p) {
    using I = decltype(sample);
    poll(stop);
    const row_piece& piece = pieces_[p];
    for (std::size_t r = 0; r < places_[p].size(); ++r) {
      const std::int64_t from = starts_[p][r], at = out_starts_[static_cast<std::size_t>(places_[p][r])];
      const auto count = static_cast<std::size_t>(starts_[p][r + 1] - from);
      const I* in = piece.indices.as<I>() + from;
      I* out = static_cast<I*>(indices) + at;
      for (std::size_t i = 0; i < count; ++i) {
        const I index = in[i];
        if (static_cast<std::uint64_t>(index) >= width_) refuse_index(index, "row", r, width_);
        out[i] = index;
      }
      std::memcpy(static_cast<char*>(values) + static_cast<std::size_t>(at) * value_bytes_,
                  static_cast<const char*>(piece.values) + static_cast<std::size_t>(from) * value_bytes_,
                  count * value_bytes_);
    }
  };
  alternate_lines(pieces_.size(), helper, [&](std::size_t p) {
    if (index_type_ == element_type::i32) {
      fill(std::int32_t{}, p);
    } else {
      fill(std::int64_t{}, p);
    }
  });
}

void reorder_coordinates(std::size_t side, const typed_array& rows, const typed_array& columns,
                         std::span<const std::int32_t> order, void* rows_out, void* columns_out,
                         worker* helper, interruption* stop) {
  for (const typed_array* a : {&rows, &columns}) {
    if (a->type != element_type::i32 && a->type != element_type::i64) throw type_refused("row and col must be int32 or int64");
  }
  if (rows.type != columns.type || rows.size != columns.size) {
    throw std::invalid_argument("row and col must be of one dtype and length");
  }
  const std::vector<std::int32_t> position = positions_of(order);
  // Pieces of a million entries, alternately here and on the helper.
  constexpr std::size_t piece = std::size_t{1} << 20;
  const std::size_t pieces = (rows.size + piece - 1) / piece;
  const auto rename = [&](auto sample, std::size_t p) {
    using I = decltype(sample);
    poll(stop);
    const I* row = rows.as<I>();
    const I* column = columns.as<I>();
    for (std::size_t i = p * piece; i < std::min(rows.size, (p + 1) * piece); ++i) {
      const I r = row[i], k = column[i];
      for (const auto& [index, name] : {std::pair{r, "row"}, std::pair{k, "column"}}) {
        if (static_cast<std::uint64_t>(index) >= side) {
          throw std::invalid_argument("entry " + std::to_string(i) + ": " + name + " index " +
                                      std::to_string(index) + " lies outside 0 .. " +
                                      std::to_string(static_cast<std::int64_t>(side) - 1));
        }
      }
      static_cast<I*>(rows_out)[i] = static_cast<I>(position[static_cast<std::size_t>(r)]);
      static_cast<I*>(columns_out)[i] = static_cast<I>(position[static_cast<std::size_t>(k)]);
    }
  };
  alternate_lines(pieces, helper, [&](std::size_t p) {
    if (rows.type == element_type::i32) {
      rename(std::int32_t{}, p);
    } else {
      rename(std::int64_t{}, p);
    }
  });
}

}  // namespace tornavel
