// The build-time checkpoints and the walks that start from them agree with the full walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "ranking/log_factorial.h"
#include "tests/plain_model.h"

namespace tornavel {
namespace {

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

TEST(LogSum, CheckpointsEqualTheFullWalkUpToFourMillion) {
  const auto checkpoints = builtin_log_sum_checkpoints();
  ASSERT_EQ(checkpoints.size(), static_cast<std::size_t>(log_sum_checkpoint_end / log_sum_stride + 1));
  double sum = 0.0;
  for (std::int64_t j = 1; j <= (std::int64_t{1} << 22); ++j) {
    sum = sum + std::log(static_cast<double>(j));
    if (j % log_sum_stride == 0) {
      ASSERT_EQ(bits(sum), bits(checkpoints[static_cast<std::size_t>(j / log_sum_stride)])) << j;
    }
  }
}

TEST(LogSum, SampledBlocksFarOutJoinTheirNeighboursWalkedPlainly) {
  // The checkpoints are made with the run-wise walk; this keeps them resting on the plain one.
  const auto checkpoints = builtin_log_sum_checkpoints();
  std::mt19937_64 rng(11);
  for (int sample = 0; sample < 300; ++sample) {
    const std::size_t i = rng() % (checkpoints.size() - 1);
    const auto at = static_cast<std::int64_t>(i) * log_sum_stride;
    EXPECT_EQ(bits(plain::walk(checkpoints[i], at, at + log_sum_stride)), bits(checkpoints[i + 1]))
        << "block " << i;
  }
}

TEST(LogSum, RunWiseWalkEqualsThePlainWalk) {
  const auto checkpoints = builtin_log_sum_checkpoints();
  struct stretch {
    std::size_t checkpoint;
    std::int64_t steps;
  };
  std::vector<stretch> stretches;
  std::mt19937_64 rng(12);
  for (int sample = 0; sample < 200; ++sample) {
    stretches.push_back({static_cast<std::size_t>(rng() % checkpoints.size()), 5000});
  }
  // Where the sum enters each binade from 2^30 on, the run-wise walk's first and last.
  for (double binade = 0x1p30; binade < checkpoints.back(); binade *= 2) {
    const auto above = std::upper_bound(checkpoints.begin(), checkpoints.end(), binade);
    stretches.push_back({static_cast<std::size_t>(above - checkpoints.begin()) - 1, 40000});
  }
  // And one long stretch beyond the last checkpoint, where the runs are longest.
  stretches.push_back({checkpoints.size() - 1, 300'000'000});
  for (const stretch& s : stretches) {
    const auto from = static_cast<std::int64_t>(s.checkpoint) * log_sum_stride;
    const double start = checkpoints[s.checkpoint];
    ASSERT_EQ(bits(walk_log_sum(start, from, from + s.steps)),
              bits(plain::walk(start, from, from + s.steps)))
        << s.steps << " steps from " << from;
  }
}

TEST(LogSum, EntriesFromCheckpointsEqualTheFullTable) {
  const std::int64_t last = 3'000'000;
  const std::vector<float> full = plain::log_factorial_table(last);
  // Every index: each block's first entry starts at its checkpoint, the rest walk on.
  log_factorial_table every(10);
  std::vector<std::int64_t> all(static_cast<std::size_t>(last));
  for (std::int64_t j = 0; j < last; ++j) all[static_cast<std::size_t>(j)] = j + 1;
  every.add(all);
  EXPECT_TRUE(every.checkpoints_trusted());
  for (std::int64_t j = 0; j <= last; ++j) {
    ASSERT_EQ(every[j], full[static_cast<std::size_t>(j)]) << j;
  }
  // One index per block at several offsets: each walks from its own block's checkpoint.
  for (std::int64_t offset : {1, 2, 17, 1000, 4095}) {
    log_factorial_table sampled(1);
    std::vector<std::int64_t> wanted;
    for (std::int64_t j = offset; j <= last; j += log_sum_stride) wanted.push_back(j);
    sampled.add(wanted);
    for (std::int64_t j : wanted) ASSERT_EQ(sampled[j], full[static_cast<std::size_t>(j)]) << j;
  }
}

TEST(LogSum, CheckpointsThatDoNotMatchAreNotUsed) {
  const auto builtin = builtin_log_sum_checkpoints();
  // Every checkpoint off (the first by one unit in the last place): none may be used.
  std::vector<double> wrong(builtin.begin(), builtin.begin() + 1000);
  wrong[1] = std::nextafter(wrong[1], 0.0);
  for (std::size_t i = 2; i < wrong.size(); ++i) wrong[i] += 1.0;
  const std::vector<float> full = plain::log_factorial_table(2'000'000);
  for (std::int64_t dense_end : {1, 100, 5000}) {  // checked by a walk of its own, or the dense one
    log_factorial_table table(dense_end, wrong);
    table.add({9000, 123456, 2'000'000});
    EXPECT_FALSE(table.checkpoints_trusted());
    for (std::int64_t j : {9000, 123456, 2'000'000}) {
      EXPECT_EQ(table[j], full[static_cast<std::size_t>(j)]) << j;
    }
  }
}

TEST(LogSum, CheckpointsWrongOnlyFarFromTheStartAreNotUsed) {
  // The checkpoints right at the start are right; one far along, the one a walk to the wanted
  // entry would start from, is off by a unit in the last place: the spot checks spread over the
  // range reach it, and no checkpoint is used.
  const auto builtin = builtin_log_sum_checkpoints();
  const std::vector<float> full = plain::log_factorial_table(2'000'000);
  for (const std::int64_t j : {123'456, 2'000'000}) {
    std::vector<double> wrong(builtin.begin(), builtin.begin() + 1000);
    double& far = wrong[static_cast<std::size_t>(j / log_sum_stride)];
    far = std::nextafter(far, 0.0);
    log_factorial_table table(1, wrong);
    table.add({j});
    EXPECT_FALSE(table.checkpoints_trusted()) << j;
    EXPECT_EQ(table[j], full[static_cast<std::size_t>(j)]) << j;
  }
}

}  // namespace
}  // namespace tornavel
