// The sparse sources, CSR, CSC and COO arrays as SciPy holds them, against the dense ranking: every
// layout, order of entries, repetition of a place, explicit zero and band size gives the dense
// matrix's scores to the bit; a refusal names the first element in row order however the
// threads fell; arrays that disagree with each other or with the side are refused, never read
// out of bounds (this file runs under the sanitizers too).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <random>
#include <stdexcept>
#include <thread>

#include "ranking/ranking.h"
#include "ranking/sparse_arrays.h"
#include "tests/plain_model.h"
#include "tests/random_matrices.h"
#include "tests/vectors.h"

namespace tornavel {
namespace {

using testing_support::random_matrix;
using testing_support::shape;

struct entry {
  std::int64_t row, column, value;
};

// How the entries of a matrix are laid out.
enum class layout { by_row, by_column, shuffled, lines_shuffled };

// The non-zero counts of m as entries, some split in two at one place (repeated entries, which
// add up) and some explicit zeros, in the given layout.
std::vector<entry> entries_of(const plain::matrix& m, layout how, std::uint64_t seed, bool repeat) {
  std::mt19937_64 rng(seed);
  std::vector<entry> out;
  const auto n = static_cast<std::int64_t>(m.columns);
  for (std::int64_t r = 0; r < n; ++r) {
    for (std::int64_t k = 0; k < n; ++k) {
      const std::int64_t x = m.counts[static_cast<std::size_t>(r * n + k)];
      if (repeat && x > 1 && rng() % 3 == 0) {
        const std::int64_t part = 1 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(x - 1));
        out.push_back({r, k, part});
        out.push_back({r, k, x - part});
      } else if (x != 0 || rng() % 11 == 0) {
        out.push_back({r, k, x});
      }
    }
  }
  std::shuffle(out.begin(), out.end(), rng);
  const auto by_row = [](const entry& a, const entry& b) { return std::tie(a.row, a.column) < std::tie(b.row, b.column); };
  const auto by_column = [](const entry& a, const entry& b) { return std::tie(a.column, a.row) < std::tie(b.column, b.row); };
  if (how == layout::by_row) std::stable_sort(out.begin(), out.end(), by_row);
  if (how == layout::by_column) std::stable_sort(out.begin(), out.end(), by_column);
  if (how == layout::lines_shuffled) {
    std::stable_sort(out.begin(), out.end(), [](const entry& a, const entry& b) { return a.row < b.row; });
  }
  return out;
}

// Arrays of one index type I and one value type T, as SciPy's would be.
template <typename I, typename T>
struct sparse {
  std::size_t side;
  std::vector<I> pointers, indices, rows, columns;
  std::vector<T> values;

  static element_type type_of() {
    if constexpr (std::is_same_v<T, double>) return element_type::f64;
    if constexpr (std::is_same_v<T, std::int64_t>) return element_type::i64;
    return element_type::i32;
  }
  static element_type index_type() { return sizeof(I) == 4 ? element_type::i32 : element_type::i64; }
  typed_array array(const std::vector<I>& v) const { return {v.data(), index_type(), v.size()}; }
  typed_array value_array() const { return {values.data(), type_of(), values.size()}; }

  // Lines (rows for CSR, columns for CSC) from entries sorted by line, keeping their order in a line.
  static sparse compressed(std::size_t side, std::vector<entry> e, bool by_rows) {
    std::stable_sort(e.begin(), e.end(), [&](const entry& a, const entry& b) {
      return (by_rows ? a.row : a.column) < (by_rows ? b.row : b.column);
    });
    sparse s{side, std::vector<I>(side + 1, 0), {}, {}, {}, {}};
    for (const entry& x : e) {
      ++s.pointers[static_cast<std::size_t>(by_rows ? x.row : x.column) + 1];
      s.indices.push_back(static_cast<I>(by_rows ? x.column : x.row));
      s.values.push_back(static_cast<T>(x.value));
    }
    for (std::size_t l = 0; l < side; ++l) s.pointers[l + 1] += s.pointers[l];
    return s;
  }
  static sparse coordinates(std::size_t side, const std::vector<entry>& e) {
    sparse s{side, {}, {}, {}, {}, {}};
    for (const entry& x : e) {
      s.rows.push_back(static_cast<I>(x.row));
      s.columns.push_back(static_cast<I>(x.column));
      s.values.push_back(static_cast<T>(x.value));
    }
    return s;
  }
  compressed_arrays compressed_view() const { return {side, array(pointers), array(indices), value_array()}; }
  coordinate_arrays coordinate_view() const { return {side, array(rows), array(columns), value_array()}; }
};

void expect_bits(const column_ranks& records, const std::vector<float>& scores, const std::string& how) {
  ASSERT_EQ(records.size(), scores.size()) << how;
  for (std::size_t k = 0; k < scores.size(); ++k) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(records[k].score), std::bit_cast<std::uint32_t>(scores[k]))
        << how << ", column " << k;
  }
}

worker& helper() {
  static worker w;
  return w;
}

// Scores of every source over the entries, with and without the helper, against scores.
template <typename I, typename T>
void expect_every_source(std::size_t side, const std::vector<entry>& e, const std::vector<float>& scores,
                         const std::string& what) {
  for (worker* h : {static_cast<worker*>(nullptr), &helper()}) {
    const std::string how = what + (h ? ", two threads" : ", one thread");
    const auto csr = sparse<I, T>::compressed(side, e, true);
    compressed_rows rows(csr.compressed_view());
    expect_bits(score_columns(rows, h), scores, how + ", CSR");
    const auto csc = sparse<I, T>::compressed(side, e, false);
    compressed_columns columns(csc.compressed_view());
    expect_bits(score_columns(columns, h), scores, how + ", CSC");
    const auto coo = sparse<I, T>::coordinates(side, e);
    for (std::size_t band : {std::size_t{3}, std::size_t{1} << 21}) {
      const coordinate_source source(coo.coordinate_view(), nullptr, h, band);
      expect_bits(source.by_rows() ? score_columns(*source.by_rows(), h) : score_columns(*source.by_columns(), h),
                  scores, how + ", COO, bands of " + std::to_string(band));
    }
  }
}

TEST(Sparse, EveryLayoutOrderAndRepetitionScoresAsTheDenseMatrix) {
  const shape shapes[] = {shape::uniform, shape::sparse, shape::heavy_tailed, shape::tied_columns,
                          shape::single_entries, shape::huge_counts, shape::empty};
  for (shape s : shapes) {
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
      const auto side = static_cast<std::int32_t>(seed * 11 % 41);
      const plain::matrix m = random_matrix(s, seed, side);
      // The dense ranking's scores, which the differential test holds to the plain model (whose
      // table up to the grand total would take most of this test's time).
      memory_rows dense(m.columns, m.rows, m.counts);
      std::vector<float> scores;
      for (const column_rank& r : score_columns(dense)) scores.push_back(r.score);
      for (layout how : {layout::by_row, layout::by_column, layout::shuffled, layout::lines_shuffled}) {
        for (bool repeat : {false, true}) {
          const std::string what = std::string(testing_support::shape_name(s)) + " seed " + std::to_string(seed) +
                                   " layout " + std::to_string(static_cast<int>(how)) + (repeat ? " repeats" : "");
          const std::vector<entry> e = entries_of(m, how, seed, repeat);
          const auto n = static_cast<std::size_t>(m.columns);
          if (seed % 2 == 0) {
            expect_every_source<std::int32_t, std::int32_t>(n, e, scores, what);
          } else {
            expect_every_source<std::int64_t, double>(n, e, scores, what);
          }
          if (HasFatalFailure()) return;
        }
      }
    }
  }
}

TEST(Sparse, SumsPastTwoToTheTwentyNineInUnsortedColumnsAreAddedInRowOrder) {
  // Each column's rows in reverse order in CSC and shuffled in COO; past 2^29 only the
  // row-order sum has the command's bits.
  constexpr std::int32_t n = 300;
  const plain::matrix m = random_matrix(shape::past_exact_sums, 29, n);
  memory_rows dense(n, n, m.counts);
  std::vector<float> scores;
  for (const column_rank& r : score_columns(dense)) scores.push_back(r.score);
  std::vector<entry> e = entries_of(m, layout::by_column, 3, false);
  std::reverse(e.begin(), e.end());
  expect_every_source<std::int32_t, std::int32_t>(n, e, scores, "reversed");
  expect_every_source<std::int64_t, std::int64_t>(n, entries_of(m, layout::shuffled, 4, false), scores, "shuffled");
}

// The refusal a source gives, or "" if it scores.
template <typename Source>
std::string refusal_of(Source& source, worker* h) {
  try {
    score_columns(source, h);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(Sparse, RefusalsNameTheFirstElementInRowOrderHoweverTheThreadsFell) {
  // Faults in a late column of an early row and an early column of a late row, and repeated
  // entries that add up too far: every source names the same one, the first in row order.
  constexpr std::size_t n = 3000;
  std::vector<entry> e;
  for (std::int64_t r = 0; r < static_cast<std::int64_t>(n); ++r) e.push_back({r, (r * 7) % static_cast<std::int64_t>(n), 1 + r % 5});
  e.push_back({2900, 3, -4});
  e.push_back({1400, 2950, -2});
  e.push_back({1400, 2999, 5000000000});
  const std::string expected = "element (1400, 2950): negative value -2";
  std::vector<entry> overflow{{5, 9, 2000000000}, {5, 9, 2000000000}, {2, 2999, 1}, {7, 1, 2147483647}, {7, 1, 1}};
  for (worker* h : {static_cast<worker*>(nullptr), &helper()}) {
    for (layout how : {layout::by_row, layout::by_column, layout::shuffled}) {
      std::vector<entry> faults = e;
      if (how == layout::by_column) std::stable_sort(faults.begin(), faults.end(), [](auto& a, auto& b) { return a.column < b.column; });
      if (how == layout::shuffled) std::shuffle(faults.begin(), faults.end(), std::mt19937_64(5));
      const auto csr = sparse<std::int64_t, std::int64_t>::compressed(n, faults, true);
      const auto csc = sparse<std::int64_t, std::int64_t>::compressed(n, faults, false);
      const auto coo = sparse<std::int64_t, std::int64_t>::coordinates(n, faults);
      compressed_rows rows(csr.compressed_view());
      compressed_columns columns(csc.compressed_view());
      const coordinate_source source(coo.coordinate_view(), nullptr, h, 64);
      EXPECT_EQ(refusal_of(rows, h), expected);
      EXPECT_EQ(refusal_of(columns, h), expected);
      EXPECT_EQ(source.by_rows() ? refusal_of(*source.by_rows(), h) : refusal_of(*source.by_columns(), h), expected);
    }
    const auto csr = sparse<std::int64_t, std::int64_t>::compressed(n, overflow, true);
    const auto csc = sparse<std::int64_t, std::int64_t>::compressed(n, overflow, false);
    compressed_rows rows(csr.compressed_view());
    compressed_columns columns(csc.compressed_view());
    EXPECT_EQ(refusal_of(rows, h), "element (5, 9): repeated entries add up beyond 2^31 - 1");
    EXPECT_EQ(refusal_of(columns, h), "element (5, 9): repeated entries add up beyond 2^31 - 1");
  }
}

// What a source made of arrays says, or "" if it scores: each case is refused before any read
// out of bounds.
std::string csr_refusal(std::size_t side, std::vector<std::int64_t> pointers, std::vector<std::int64_t> indices,
                        std::vector<std::int32_t> values, bool by_rows = true) {
  const compressed_arrays a{side, {pointers.data(), element_type::i64, pointers.size()},
                            {indices.data(), element_type::i64, indices.size()},
                            {values.data(), element_type::i32, values.size()}};
  try {
    if (by_rows) {
      compressed_rows rows(a);
      score_columns(rows, &helper());
    } else {
      compressed_columns columns(a);
      score_columns(columns, &helper());
    }
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(Sparse, ArraysThatDisagreeAreRefusedBeforeAnyReadOutOfBounds) {
  for (bool by_rows : {true, false}) {
    const std::string line = by_rows ? "rows" : "columns";
    EXPECT_EQ(csr_refusal(2, {0, 1}, {0}, {1}, by_rows), "indptr has 2 entries where 2 " + line + " take 3");
    EXPECT_EQ(csr_refusal(2, {0, 2, 1}, {0, 1}, {1, 1}, by_rows), "indptr falls at 2 (2, then 1)");
    EXPECT_EQ(csr_refusal(2, {-1, 0, 1}, {0, 1}, {1, 1}, by_rows), "indptr starts below 0 (-1)");
    EXPECT_EQ(csr_refusal(2, {0, 1, 3}, {0, 1}, {1, 1, 1}, by_rows), "indptr ends at 3, past the 2 entries of indices and data");
    EXPECT_EQ(csr_refusal(2, {0, 1, 3}, {0, 1, 1}, {1, 1}, by_rows), "indptr ends at 3, past the 2 entries of indices and data");
    EXPECT_NE(csr_refusal(2, {0, 1, 2}, {0, 5}, {1, 1}, by_rows).find("index 5 of "), std::string::npos);
    EXPECT_NE(csr_refusal(2, {0, 1, 2}, {-1, 0}, {1, 1}, by_rows).find("index -1 of "), std::string::npos);
    EXPECT_NE(csr_refusal(2, {0, 1, 2}, {0, 2}, {1, 1}, by_rows).find("index 2 of "), std::string::npos);  // the side
    EXPECT_NE(csr_refusal(2, {0, 1, 2}, {0, std::int64_t{1} << 40}, {1, 1}, by_rows).find("lies outside 0 .. 1"), std::string::npos);
    EXPECT_EQ(csr_refusal(2, {0, 1, 2}, {1, 0}, {1, 1}, by_rows), "");
  }
  std::vector<std::int32_t> rows{0, 1}, columns{0, 2}, values{1, 1};
  for (std::size_t band : {std::size_t{1}, std::size_t{1} << 21}) {
    EXPECT_THROW(coordinate_source({2, {rows.data(), element_type::i32, 2}, {columns.data(), element_type::i32, 2},
                                    {values.data(), element_type::i32, 2}}, nullptr, &helper(), band),
                 std::invalid_argument);
  }
  EXPECT_THROW(coordinate_source({3, {rows.data(), element_type::i32, 2}, {columns.data(), element_type::i32, 1},
                                  {values.data(), element_type::i32, 2}}),
               std::invalid_argument);
  EXPECT_THROW(coordinate_source({3, {rows.data(), element_type::f32, 2}, {columns.data(), element_type::i32, 2},
                                  {values.data(), element_type::i32, 2}}),
               type_refused);
}

TEST(Sparse, ReordersMoveEveryEntryAndRefuseIndicesOutsideTheSide) {
  const plain::matrix m = random_matrix(shape::sparse, 3, 23);
  const std::vector<entry> e = entries_of(m, layout::lines_shuffled, 3, false);
  const std::vector<std::int32_t> order = plain::rank(m).order;
  const std::vector<std::int32_t> expected = plain::reorder(m, order);
  for (worker* h : {static_cast<worker*>(nullptr), &helper()}) {
    const auto csr = sparse<std::int32_t, std::int32_t>::compressed(23, e, true);
    const compressed_reorder reorder(23, csr.array(csr.pointers), csr.array(csr.indices), csr.values.data(),
                                     csr.values.size(), sizeof(std::int32_t), order, "row");
    std::vector<std::int64_t> pointers(24);
    std::vector<std::int32_t> indices(static_cast<std::size_t>(reorder.entries())), values(indices.size());
    reorder.write(pointers.data(), indices.data(), values.data(), h, nullptr);
    std::vector<std::int32_t> dense(23 * 23, 0);
    for (std::size_t l = 0; l < 23; ++l) {
      for (auto i = pointers[l]; i < pointers[l + 1]; ++i) dense[l * 23 + static_cast<std::size_t>(indices[static_cast<std::size_t>(i)])] += values[static_cast<std::size_t>(i)];
    }
    EXPECT_EQ(dense, expected);
    const auto coo = sparse<std::int64_t, std::int32_t>::coordinates(23, e);
    std::vector<std::int64_t> rows(coo.rows.size()), columns(coo.rows.size());
    reorder_coordinates(23, coo.array(coo.rows), coo.array(coo.columns), order, rows.data(), columns.data(), h, nullptr);
    std::fill(dense.begin(), dense.end(), 0);
    for (std::size_t i = 0; i < rows.size(); ++i) dense[static_cast<std::size_t>(rows[i] * 23 + columns[i])] += coo.values[i];
    EXPECT_EQ(dense, expected);
  }
  std::vector<std::int32_t> pointers{0, 1, 2}, indices{0, 7}, values{1, 1};
  const typed_array p{pointers.data(), element_type::i32, 3}, i{indices.data(), element_type::i32, 2};
  const compressed_reorder bad(2, p, i, values.data(), 2, 4, std::vector<std::int32_t>{1, 0}, "row");
  std::vector<std::int64_t> out_pointers(3);
  std::vector<std::int32_t> out_indices(2), out_values(2);
  EXPECT_THROW(bad.write(out_pointers.data(), out_indices.data(), out_values.data(), &helper(), nullptr), std::invalid_argument);
  EXPECT_THROW(reorder_coordinates(2, i, p, std::vector<std::int32_t>{1, 0}, out_indices.data(), out_values.data(), nullptr, nullptr),
               std::invalid_argument);
}

TEST(Sparse, OrdersThatAreNotPermutationsAreRefused) {
  for (const std::vector<std::int64_t>& order : {std::vector<std::int64_t>{0, 0, 1}, {0, 1, 3}, {-1, 0, 1}, {0, 1}}) {
    EXPECT_THROW(permutation_of({order.data(), element_type::i64, order.size()}, 3), std::invalid_argument);
  }
  const std::vector<double> fractional{0, 1, 2};
  EXPECT_THROW(permutation_of({fractional.data(), element_type::f64, 3}, 3), type_refused);
  const std::vector<std::uint8_t> small{2, 0, 1};
  EXPECT_EQ(permutation_of({small.data(), element_type::u8, 3}, 3), (std::vector<std::int32_t>{2, 0, 1}));
}

TEST(Sparse, ArraysChangedWhileTheyAreReadGiveAResultOrARefusalNeverAStrayRead) {
  // Another thread writes anything into the indices and values while the sources read them: the
  // pointers were copied, so every read stays within the arrays.
  const plain::matrix m = random_matrix(shape::uniform, 9, 200);
  auto csr = sparse<std::int32_t, std::int32_t>::compressed(200, entries_of(m, layout::by_row, 9, false), true);
  std::atomic<bool> done = false;
  std::thread writer([&] {
    std::mt19937_64 rng(1);
    while (!done.load()) {
      const std::size_t i = rng() % csr.indices.size();
      std::atomic_ref<std::int32_t>(csr.indices[i]).store(static_cast<std::int32_t>(rng() % 400) - 100, std::memory_order_relaxed);
      std::atomic_ref<std::int32_t>(csr.values[i]).store(static_cast<std::int32_t>(rng() % 40) - 2, std::memory_order_relaxed);
    }
  });
  for (int round = 0; round < 50; ++round) {
    compressed_rows rows(csr.compressed_view());
    compressed_columns columns(csr.compressed_view());
    try {
      score_columns(rows, &helper());
    } catch (const std::invalid_argument&) {
    }
    try {
      score_columns(columns, &helper());
    } catch (const std::invalid_argument&) {
    }
  }
  done = true;
  writer.join();
}

}  // namespace
}  // namespace tornavel
