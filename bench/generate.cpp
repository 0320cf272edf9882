// Writes the benchmark workloads as count-matrix files:
//   dense   4096 x 4096, small counts (0-20), total about 6e7
//   totals  256 x 256, heavy-tailed (popularity about 1/rank on both axes), total about 8e8
//   sparse  12288 x 12288, 1% of cells non-zero, 1-100
//   huge    2 x 2, a column sum just above 2^31
// Usage: tornavel_generate WORKLOAD OUT_FILE
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "matrix_files/matrix_files.h"

namespace {

using tornavel::uninitialized_counts;

uninitialized_counts dense(std::mt19937_64& rng, std::int32_t side) {
  uninitialized_counts counts(static_cast<std::size_t>(side) * side);
  for (std::int32_t& x : counts) {
    x = static_cast<std::int32_t>(rng() % 8);
    if (rng() % 16 == 0) x += static_cast<std::int32_t>(rng() % 13);
  }
  return counts;
}

uninitialized_counts totals(std::mt19937_64& rng, std::int32_t side) {
  uninitialized_counts counts(static_cast<std::size_t>(side) * side);
  const double scale = 2.13e7;
  for (std::int32_t r = 0; r < side; ++r) {
    for (std::int32_t k = 0; k < side; ++k) {
      const double noise = 0.5 + static_cast<double>(rng() % 1001) / 1000.0;
      counts[static_cast<std::size_t>(r) * side + k] =
          static_cast<std::int32_t>(scale * noise / ((r + 1.0) * (k + 1.0)));
    }
  }
  return counts;
}

uninitialized_counts sparse(std::mt19937_64& rng, std::int32_t side) {
  uninitialized_counts counts(static_cast<std::size_t>(side) * side);
  for (std::int32_t& x : counts) {
    x = rng() % 100 == 0 ? static_cast<std::int32_t>(1 + rng() % 100) : 0;
  }
  return counts;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: tornavel_generate dense|totals|sparse|huge OUT_FILE\n", stderr);
    return 2;
  }
  const std::string workload = argv[1];
  std::mt19937_64 rng(20261208);
  std::int32_t side = 0;
  uninitialized_counts counts;
  if (workload == "dense") {
    counts = dense(rng, side = 4096);
  } else if (workload == "totals") {
    counts = totals(rng, side = 256);
  } else if (workload == "sparse") {
    counts = sparse(rng, side = 12288);
  } else if (workload == "huge") {
    side = 2;
    counts = {2147483647, 1, 6, 5};
  } else {
    std::fprintf(stderr, "tornavel_generate: unknown workload %s\n", argv[1]);
    return 2;
  }
  // The bare log loop of the benchmark needs the largest column sum.
  std::vector<std::int64_t> sums(static_cast<std::size_t>(side), 0);
  for (std::size_t i = 0; i < counts.size(); ++i) sums[i % static_cast<std::size_t>(side)] += counts[i];
  std::int64_t largest = 0;
  for (std::int64_t sum : sums) largest = sum > largest ? sum : largest;
  std::printf("%lld\n", static_cast<long long>(largest));
  try {
    tornavel::staged_file out = tornavel::save_count_matrix(argv[2], side, side, counts);
    tornavel::publish_together({&out});
  } catch (const tornavel::file_error& error) {
    std::fprintf(stderr, "tornavel_generate: %s\n", error.what());
    return 1;
  }
  return 0;
}
