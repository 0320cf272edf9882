// The tool's ranking and reordering against the plain model, on many seeded random matrices.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "ranking/ranking.h"
#include "tests/plain_model.h"
#include "tests/random_matrices.h"
#include "tests/vectors.h"

namespace tornavel {
namespace {

using testing_support::random_matrix;
using testing_support::shape;

// One helper for every test, started once, as the tool does.
worker& shared_helper() {
  static worker helper;
  return helper;
}

// The non-zero counts of a matrix in memory, each row's in reverse column order and with every
// seventh zero kept, as a sparse matrix may hold explicit zeros.
class memory_nonzeros final : public nonzero_source {
 public:
  explicit memory_nonzeros(const plain::matrix& m) : m_(m) {}
  std::size_t side() const override { return static_cast<std::size_t>(m_.columns); }
  std::size_t rows_for(std::size_t first, std::size_t most_entries) const override {
    // Small stretches, so that even small matrices take several steps.
    const auto n = static_cast<std::size_t>(m_.columns);
    return std::min(n, first + 1 + most_entries / (n * 64 + 1));
  }
  void read_rows(std::size_t first, std::size_t end, nonzero_block& block) const override {
    block.columns.clear();
    block.counts.clear();
    const auto n = static_cast<std::size_t>(m_.columns);
    for (std::size_t r = first; r < end; ++r) {
      for (std::size_t k = n; k-- > 0;) {
        const std::int32_t x = m_.counts[r * n + k];
        if (x != 0 || (r + k) % 7 == 0) {
          block.columns.push_back(static_cast<std::int32_t>(k));
          block.counts.push_back(x);
        }
      }
    }
  }

 private:
  const plain::matrix& m_;
};

// The rows of a matrix in memory read as a file's are: by one thread at a time, in order.
class rows_in_order final : public row_source {
 public:
  explicit rows_in_order(memory_rows& rows) : rows_(rows) {}
  std::size_t columns() const override { return rows_.columns(); }
  std::size_t rows() const override { return rows_.rows(); }
  std::span<const std::int32_t> read_rows(std::size_t first, std::size_t count,
                                          std::span<std::int32_t> scratch) override {
    return rows_.read_rows(first, count, scratch);
  }

 private:
  memory_rows& rows_;
};

void expect_same_bits(const column_ranks& records, const std::vector<float>& scores,
                      const char* how) {
  ASSERT_EQ(records.size(), scores.size()) << how;
  for (std::size_t k = 0; k < records.size(); ++k) {
    ASSERT_EQ(records[k].column, static_cast<std::int32_t>(k)) << how;
    ASSERT_EQ(std::bit_cast<std::uint32_t>(records[k].score), std::bit_cast<std::uint32_t>(scores[k]))
        << how << ", column " << k << ": " << records[k].score << " vs " << scores[k];
  }
}

// Every way the ranking reads a matrix: rows in order on one thread, rows in any order on two
// (each adding into sums of its own), columns split between two threads over rows read in order
// (as from a file), and the non-zero counts alone.
void expect_same_scores(const plain::matrix& m, const std::vector<float>& scores) {
  memory_rows matrix(m.columns, m.rows, m.counts);
  rows_in_order ordered(matrix);
  expect_same_bits(score_columns(matrix), scores, "one thread");
  expect_same_bits(score_columns(matrix, &shared_helper()), scores, "two threads");
  expect_same_bits(score_columns(ordered, &shared_helper()), scores, "columns split");
  if (m.rows != m.columns) return;
  memory_nonzeros nonzeros(m);
  expect_same_bits(score_columns(nonzeros), scores, "non-zero counts");
  expect_same_bits(score_columns(nonzeros, &shared_helper()), scores, "non-zero counts, two threads");
}

void expect_same_as_model(const plain::matrix& m, const std::string& what) {
  SCOPED_TRACE(what);
  const plain::ranking expected = plain::rank(m);
  expect_same_scores(m, expected.scores);
  if (::testing::Test::HasFatalFailure()) return;

  memory_rows matrix(m.columns, m.rows, m.counts);
  column_ranks records = score_columns(matrix);
  const rank_order order = rank_columns(records);
  ASSERT_EQ(order, expected.order);
  ASSERT_EQ(rank_matrix(matrix, &shared_helper()), expected.order);
  ASSERT_EQ(reorder_matrix(matrix, order), plain::reorder(m, expected.order));
  if (m.rows != m.columns) return;
  memory_nonzeros nonzeros(m);
  ASSERT_EQ(rank_matrix(nonzeros, &shared_helper()), expected.order);
}

TEST(Differential, SeededRandomMatricesOfEveryShape) {
  const shape shapes[] = {shape::uniform,        shape::sparse,      shape::heavy_tailed,
                          shape::tied_columns,   shape::single_entries, shape::no_columns,
                          shape::no_rows,        shape::empty};
  for (shape s : shapes) {
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
      const auto side = static_cast<std::int32_t>(seed % 37);
      expect_same_as_model(random_matrix(s, seed, side),
                           std::string(testing_support::shape_name(s)) + " seed " +
                               std::to_string(seed) + " side " + std::to_string(side));
      if (HasFatalFailure()) return;
    }
  }
}

TEST(Differential, CountsAndSumsAboveTheDenseLimit) {
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    const auto side = static_cast<std::int32_t>(2 + seed % 11);
    expect_same_as_model(random_matrix(shape::huge_counts, seed, side),
                         "huge seed " + std::to_string(seed));
    if (HasFatalFailure()) return;
  }
}

TEST(Differential, MatricesOfSeveralBlocks) {
  // Rows are scored about a million counts at a time, with the table growing between blocks.
  for (shape s : {shape::heavy_tailed, shape::uniform}) {
    expect_same_as_model(random_matrix(s, 7, 1100), testing_support::shape_name(s));
    if (HasFatalFailure()) return;
  }
}

TEST(Differential, SumsTooLargeToAddInAnyOrder) {
  // Only rows added in order give these bits, whichever thread reads which rows.
  constexpr std::int32_t n = 1024;
  const plain::matrix m = random_matrix(shape::past_exact_sums, 29, n);
  memory_rows matrix(n, n, m.counts);
  const column_ranks in_order = score_columns(matrix);
  std::vector<float> scores;
  for (const column_rank& r : in_order) scores.push_back(r.score);
  expect_same_scores(m, scores);
}

TEST(Differential, EqualScoresRankInAscendingColumnOrder) {
  // Columns 1, 3 and 4 are the same multiset permuted over rows; 0 and 2 are single entries.
  plain::matrix m{5, 5, {0, 1, 0, 2, 3,  //
                         4, 2, 0, 3, 1,  //
                         0, 3, 0, 1, 2,  //
                         0, 0, 9, 0, 0,  //
                         0, 0, 0, 0, 0}};
  memory_rows rows(m.columns, m.rows, m.counts);
  const rank_order order = rank_matrix(rows);
  EXPECT_EQ(order, (std::vector<std::int32_t>{1, 3, 4, 0, 2}));
  expect_same_as_model(m, "ties");
}

}  // namespace
}  // namespace tornavel
