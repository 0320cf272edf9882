#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "ranking/ranking.h"
#include "system/large_memory.h"
#include "tests/plain_model.h"
#include "tests/vectors.h"

namespace tornavel {
namespace {

// Counts in memory with the rows the ranking reads. Not copied: rows points into counts.
struct matrix_in_memory {
  matrix_in_memory(std::int32_t columns, std::int32_t rows, std::vector<std::int32_t> c)
      : counts(std::move(c)), source(columns, rows, counts) {}
  std::vector<std::int32_t> counts;
  memory_rows source;
};

matrix_in_memory square(std::int32_t side, std::vector<std::int32_t> counts) {
  return matrix_in_memory(side, side, std::move(counts));
}

std::vector<float> scores_of(matrix_in_memory& m) {
  std::vector<float> scores;
  for (const column_rank& r : score_columns(m.source)) scores.push_back(r.score);
  return scores;
}

TEST(Ranking, WorkedExamples) {
  matrix_in_memory first = square(3, {2, 0, 1, 2, 3, 0, 0, 0, 1});
  EXPECT_EQ(scores_of(first), (std::vector<float>{1.7917595f, 0.0f, 0.6931472f}));
  EXPECT_EQ(rank_matrix(first.source), (std::vector<std::int32_t>{0, 2, 1}));

  matrix_in_memory second = square(3, {4, 1, 1, 0, 1, 1, 0, 1, 0});
  EXPECT_EQ(scores_of(second), (std::vector<float>{0.0f, 1.7917595f, 0.6931472f}));
  EXPECT_EQ(rank_matrix(second.source), (std::vector<std::int32_t>{1, 2, 0}));
}

TEST(Ranking, TableEntriesAreRoundedRunningSums) {
  const log_factorial_table table(5);
  EXPECT_EQ(table[0], 0.0f);
  EXPECT_EQ(table[1], 0.0f);
  EXPECT_EQ(table[2], 0.6931472f);
  EXPECT_EQ(table[4], 3.1780539f);
  EXPECT_EQ(table[2], static_cast<float>(std::log(2.0)));
}

TEST(Ranking, SparseEntriesEqualTheFullWalk) {
  const std::vector<float> full = plain::log_factorial_table(300000);
  log_factorial_table table(1000);
  table.add({299999, 5000, 1000, 123457, 5000, 7, 200000});
  // Added later, some below entries already held: each walks on from the nearest known sum.
  table.add({300000, 123456, 4999, 1001, 200000});
  for (std::int64_t j : {0, 1, 7, 999, 1000, 1001, 4999, 5000, 123456, 123457, 200000, 299999,
                         300000}) {
    EXPECT_EQ(table[j], full[static_cast<std::size_t>(j)]) << j;
  }
}

TEST(Ranking, ColumnsThatScoreExactlyZero) {
  // Zeros, a single count, and everything in one row: entry c minus the same entry.
  matrix_in_memory m = square(3, {0, 0, 0, 0, 5, 2000000, 0, 0, 0});
  EXPECT_EQ(scores_of(m), (std::vector<float>{0.0f, 0.0f, 0.0f}));
  EXPECT_EQ(rank_matrix(m.source), (std::vector<std::int32_t>{0, 1, 2}));
}

TEST(Ranking, EmptyShapes) {
  matrix_in_memory no_rows(4, 0, {});
  EXPECT_EQ(scores_of(no_rows), (std::vector<float>(4, 0.0f)));
  EXPECT_EQ(rank_matrix(no_rows.source), (std::vector<std::int32_t>{0, 1, 2, 3}));
  matrix_in_memory no_columns(0, 4, {});
  EXPECT_TRUE(rank_matrix(no_columns.source).empty());
  EXPECT_TRUE(reorder_matrix(no_columns.source, {}).empty());
}

TEST(Ranking, CompareRankIsATotalOrder) {
  const column_rank high{5, 2.0f}, low{1, 1.0f}, tied{2, 2.0f};
  EXPECT_EQ(compare_rank(high, low), -1);
  EXPECT_EQ(compare_rank(low, high), 1);
  EXPECT_EQ(compare_rank(tied, high), -1);  // equal scores: lower column first
  EXPECT_EQ(compare_rank(high, tied), 1);
  EXPECT_EQ(compare_rank(high, high), 0);
  // rank_columns sorts by integer keys: the same order, -0 tied with +0, negatives last.
  std::vector<column_rank> records{{0, -0.0f}, {1, 0.0f}, {2, -3.5f}, {3, 2.0f}, {4, 2.0f}, {5, 1e-30f}};
  EXPECT_EQ(rank_columns(records), (std::vector<std::int32_t>{3, 4, 5, 0, 1, 2}));
}

TEST(Ranking, ColumnSumBeyondThirtyTwoBits) {
  // Column 0 adds up to 2^31 + 4, which would overflow a 32-bit sum and index the table before
  // its start. (Out there a
  // binary32 entry is a multiple of 4096, so the score is mostly rounding: ln C(2^31 + 4, 5)
  // would be about 103, the defined arithmetic gives 0 - ln 5!.)
  const std::int32_t big = std::numeric_limits<std::int32_t>::max();
  matrix_in_memory m = square(2, {5, 1, big, 3});
  const std::int64_t sum = std::int64_t{big} + 5;
  // Small entries from the plain table, the large ones walked plainly from the last built-in
  // checkpoint but one (itself checked against a walk from 1 by the huge-sums data).
  const std::vector<float> small = plain::log_factorial_table(5);
  std::vector<float> entry{small[1], small[3], small[4], small[5]};
  const auto checkpoints = builtin_log_sum_checkpoints();
  const double at_big = plain::walk(checkpoints[checkpoints.size() - 2],
                                    log_sum_checkpoint_end - log_sum_stride, big);
  entry.push_back(static_cast<float>(at_big));
  entry.push_back(static_cast<float>(plain::walk(at_big, big, sum)));
  const float column0 = static_cast<float>(static_cast<double>(entry[5]) -
                                           (static_cast<double>(entry[3]) + entry[4]));
  const float column1 = static_cast<float>(static_cast<double>(entry[2]) -
                                           (static_cast<double>(entry[0]) + entry[1]));
  EXPECT_NEAR(column0, -std::log(120.0), 1e-4);
  EXPECT_EQ(scores_of(m), (std::vector<float>{column0, column1}));
  EXPECT_EQ(rank_matrix(m.source), (std::vector<std::int32_t>{1, 0}));
}

TEST(Ranking, ZeroedArraysSmallAndMapped) {
  // Below 128 KiB from the heap; above, mapped; from a mebibyte on a huge page's boundary,
  // margins given back.
  for (std::size_t n : {std::size_t{0}, std::size_t{5}, std::size_t{3} << 17, (std::size_t{2} << 18) + 1}) {
    zeroed_array<std::int64_t> a(n);
    ASSERT_EQ(a.size(), n);
    EXPECT_TRUE(std::all_of(a.begin(), a.end(), [](std::int64_t v) { return v == 0; })) << n;
    std::fill(a.begin(), a.end(), -1);
    zeroed_array<std::int64_t> b = std::move(a);
    EXPECT_EQ(a.size(), 0u);
    if (n > 0) {
      EXPECT_EQ(b[n - 1], -1);
    }
    if (n * sizeof(std::int64_t) >= (std::size_t{1} << 20)) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % (std::size_t{2} << 20), 0u) << n;
    }
  }
}

TEST(Ranking, ZeroedBlocksGivenBackComeBackZeroed) {
  // A block kept after use is handed out again, cleared, and only for its own size: in turn
  // small and large, of mapped pages and of huge pages, each filled to its last byte.
  for (int round = 0; round < 3; ++round) {
    for (std::size_t bytes : {std::size_t{200} << 10, std::size_t{400} << 10, std::size_t{3} << 20,
                              std::size_t{5} << 20, std::size_t{127} << 10}) {
      zeroed_array<std::uint8_t> a(bytes);
      ASSERT_TRUE(std::all_of(a.begin(), a.end(), [](std::uint8_t v) { return v == 0; })) << bytes;
      std::fill(a.begin(), a.end(), std::uint8_t{0xff});
    }
  }
}

TEST(Ranking, ZeroedBlocksAreNeverHandedOutTwice) {
  // Threads take blocks of a few sizes at once, mark them as theirs, look again and give them
  // back: a block handed to two threads shows the other's mark.
  std::atomic<bool> shared{false};
  std::vector<std::thread> threads;
  for (std::uint32_t t = 1; t <= 8; ++t) {
    threads.emplace_back([t, &shared] {
      for (std::size_t i = 0; i < 300; ++i) {
        zeroed_array<std::uint32_t> a(((std::size_t{128} << 10) * (1 + (i + t) % 3)) / 4);
        if (!std::all_of(a.begin(), a.end(), [](std::uint32_t v) { return v == 0; })) shared = true;
        std::fill(a.begin(), a.end(), t);
        std::this_thread::yield();
        if (!std::all_of(a.begin(), a.end(), [t](std::uint32_t v) { return v == t; })) shared = true;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(shared);
}

TEST(Reorder, OutputRowIsInputRowOfTheRankedItem) {
  // The inverse mapping would give (0, 0, 1), (1, 4, 1), (1, 0, 1).
  matrix_in_memory m = square(3, {4, 1, 1, 0, 1, 1, 0, 1, 0});
  EXPECT_EQ(reorder_matrix(m.source, std::vector<std::int32_t>{1, 2, 0}),
            (std::vector<std::int32_t>{1, 1, 0, 1, 0, 0, 1, 1, 4}));
}

TEST(Reorder, IdentityAndDiagonal) {
  matrix_in_memory m = square(4, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  EXPECT_EQ(reorder_matrix(m.source, std::vector<std::int32_t>{0, 1, 2, 3}), m.counts);
  const std::vector<std::int32_t> order{3, 0, 2, 1};
  const std::vector<std::int32_t> out = reorder_matrix(m.source, order);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(out[i * 4 + i], m.counts[static_cast<std::size_t>(order[i]) * 5]);
  }
}

}  // namespace
}  // namespace tornavel

namespace tornavel {
namespace {

TEST(Reorder, EveryBranchOfTheRowPermutationAgainstThePlainModel) {
  // Rows narrower than 1024 columns are gathered; wider ones are first sampled, and a mostly
  // zero one has its counts put in their places instead: sides on both sides of 1024, densities
  // from empty to full (so both sides of the sampling's threshold), rows that end within a group
  // of eight, and orders that move every item, on one thread and two.
  static worker helper;
  std::mt19937_64 rng(1024);
  for (std::int32_t side : {7, 1023, 1024, 1031, 1100}) {
    for (int density : {0, 1, 3, 6, 9, 30, 100}) {  // percent of non-zero counts
      plain::matrix m{side, side, std::vector<std::int32_t>(static_cast<std::size_t>(side) * side)};
      for (std::int32_t& x : m.counts) x = static_cast<int>(rng() % 100) < density ? 1 + static_cast<std::int32_t>(rng() % 9) : 0;
      std::vector<std::int32_t> order(static_cast<std::size_t>(side));
      std::iota(order.begin(), order.end(), 0);
      std::shuffle(order.begin(), order.end(), rng);
      memory_rows rows(side, side, m.counts);
      ASSERT_EQ(reorder_matrix(rows, order), plain::reorder(m, order)) << side << " at " << density << "%";
      std::vector<std::int32_t> out(m.counts.size());
      const strided_elements in{reinterpret_cast<const char*>(m.counts.data()), static_cast<std::size_t>(side),
                                static_cast<std::ptrdiff_t>(4 * side), 4, 4};
      reorder_elements(in, order, out.data(), &helper, nullptr);
      ASSERT_EQ(out, plain::reorder(m, order)) << side << " at " << density << "%, as elements";
    }
  }
}

TEST(Ranking, ScoresOneUnitInTheLastPlaceApartRankByThatUnit) {
  // 6.327936 and 6.3279366 are neighbouring floats: the second column ranks first. Then records
  // of every sign, -0 and +0, and neighbours one unit apart at many magnitudes, in column
  // order and shuffled, sorted as compare_rank sorts them.
  matrix_in_memory m = square(3, {3, 2, 0, 13, 3, 0, 0, 3, 0});
  EXPECT_EQ(rank_matrix(m.source), (std::vector<std::int32_t>{1, 0, 2}));
  std::mt19937_64 rng(7);
  for (int round = 0; round < 40; ++round) {
    std::vector<column_rank> records;
    for (std::int32_t k = 0; k < 3000; ++k) {
      const float base = std::ldexp(static_cast<float>(rng() % 1000) / 7.0f, static_cast<int>(rng() % 60) - 30);
      float score = (rng() % 5 == 0) ? -base : base;
      for (std::uint64_t steps = rng() % 3; steps > 0; --steps) score = std::nextafter(score, rng() % 2 ? 1e30f : -1e30f);
      if (rng() % 50 == 0) score = rng() % 2 ? 0.0f : -0.0f;
      records.push_back({k, score});
    }
    if (round % 2 == 1) std::shuffle(records.begin(), records.end(), rng);
    std::vector<column_rank> sorted = records;
    std::stable_sort(sorted.begin(), sorted.end(), [](const column_rank& a, const column_rank& b) {
      return compare_rank(a, b) < 0;
    });
    column_ranks mine(records.begin(), records.end());
    const rank_order order = rank_columns(mine);
    for (std::size_t i = 0; i < sorted.size(); ++i) {
      ASSERT_EQ(order[i], sorted[i].column) << "round " << round << ", rank " << i;
      ASSERT_EQ(mine[i].column, sorted[i].column);
      ASSERT_TRUE(mine[i].score == sorted[i].score) << i;
    }
  }
}

}  // namespace
}  // namespace tornavel
