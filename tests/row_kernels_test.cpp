// Every build of the row kernels this CPU runs gives the portable build's bits.
#include "ranking/row_kernels.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

namespace tornavel {
namespace {

TEST(RowKernels, EveryBuildGivesThePortableBits) {
  const auto kernels = available_row_kernels();
  ASSERT_FALSE(kernels.empty());
  std::mt19937_64 rng(7);
  std::vector<float> dense(5000);
  for (std::size_t j = 1; j < dense.size(); ++j) {
    dense[j] = static_cast<float>(dense[j - 1] + std::log(static_cast<double>(j)));
  }
  for (std::size_t columns : {1u, 7u, 8u, 9u, 31u, 64u, 203u}) {
    std::vector<std::int32_t> order(columns);
    for (std::size_t k = 0; k < columns; ++k) order[k] = static_cast<std::int32_t>(columns - 1 - k);
    std::vector<std::vector<std::int64_t>> counts(kernels.size(),
                                                  std::vector<std::int64_t>(columns));
    std::vector<std::vector<double>> logs(kernels.size(), std::vector<double>(columns, 0.1));
    for (int r = 0; r < 50; ++r) {
      std::vector<std::int32_t> row(columns);
      for (std::int32_t& x : row) x = rng() % 3 == 0 ? static_cast<std::int32_t>(rng() % 5000) : 0;
      if (r % 5 == 0) std::fill(row.begin(), row.end(), 0);
      std::vector<std::int32_t> gathered(columns);
      kernels[0].gather_row(row.data(), order.data(), gathered.data(), columns);
      for (std::size_t i = 0; i < kernels.size(); ++i) {
        kernels[i].add_dense_row(row.data(), columns, dense.data(), counts[i].data(),
                                 logs[i].data());
        std::vector<std::int32_t> out(columns);
        kernels[i].gather_row(row.data(), order.data(), out.data(), columns);
        EXPECT_EQ(out, gathered) << kernels[i].name;
      }
    }
    for (std::size_t i = 1; i < kernels.size(); ++i) {
      EXPECT_EQ(counts[i], counts[0]) << kernels[i].name;
      for (std::size_t k = 0; k < columns; ++k) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(logs[i][k]), std::bit_cast<std::uint64_t>(logs[0][k]))
            << kernels[i].name << " column " << k;
      }
    }
  }
}

}  // namespace
}  // namespace tornavel
