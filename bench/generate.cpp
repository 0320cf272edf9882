// Writes the benchmark workloads as count-matrix files, a row at a time:
//   dense    4096 x 4096, small counts (0-20), total about 6e7
//   totals   256 x 256, heavy-tailed (popularity about 1/rank on both axes), total about 8e8
//   sparse   12288 x 12288, 1% of cells non-zero, 1-100
//   huge     2 x 2, a column sum just above 2^31
//   maxed    32 x 32, every count 2^31 - 1 (column sums near 6.9e10)
//   near     12 x 12, counts near 2^31 (column sums up to about 2e10)
//   entries  16384 x 16384, about 10 million non-zero counts (1-1000), for tornavel-convert
//   larger-than-memory  81920 x 81920, 1% non-zero, about 26.8 GB
// Prints the largest column sum, which the benchmark's bare log loop needs.
// Usage: tornavel_generate WORKLOAD OUT_FILE
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "files/publication.h"
#include "files/staged_file.h"
#include "matrix_files/count_matrix_file.h"

namespace {

// Fills one row of a side x side matrix.
using row_maker = std::function<void(std::int32_t r, std::vector<std::int32_t>& row)>;

row_maker workload_rows(const std::string& name, std::mt19937_64& rng, std::int32_t& side) {
  const auto below = [&rng](std::uint64_t n) { return static_cast<std::int32_t>(rng() % n); };
  if (name == "dense") {
    side = 4096;
    return [=](std::int32_t, std::vector<std::int32_t>& row) {
      for (std::int32_t& x : row) {
        x = below(8);
        if (below(16) == 0) x += below(13);
      }
    };
  }
  if (name == "totals") {
    side = 256;
    return [=, &rng](std::int32_t r, std::vector<std::int32_t>& row) {
      for (std::size_t k = 0; k < row.size(); ++k) {
        const double noise = 0.5 + static_cast<double>(rng() % 1001) / 1000.0;
        row[k] = static_cast<std::int32_t>(2.13e7 * noise / ((r + 1.0) * (k + 1.0)));
      }
    };
  }
  if (name == "sparse" || name == "larger-than-memory") {
    side = name == "sparse" ? 12288 : 81920;
    return [=](std::int32_t, std::vector<std::int32_t>& row) {
      for (std::int32_t& x : row) x = below(100) == 0 ? 1 + below(100) : 0;
    };
  }
  if (name == "entries") {
    side = 16384;
    return [=](std::int32_t, std::vector<std::int32_t>& row) {
      for (std::int32_t& x : row) x = below(10000) < 373 ? 1 + below(1000) : 0;
    };
  }
  if (name == "huge") {
    side = 2;
    return [](std::int32_t r, std::vector<std::int32_t>& row) {
      row = r == 0 ? std::vector<std::int32_t>{2147483647, 1} : std::vector<std::int32_t>{6, 5};
    };
  }
  if (name == "maxed") {
    side = 32;
    return [](std::int32_t, std::vector<std::int32_t>& row) {
      std::fill(row.begin(), row.end(), 2147483647);
    };
  }
  if (name == "near") {
    side = 12;
    return [=](std::int32_t, std::vector<std::int32_t>& row) {
      for (std::int32_t& x : row) x = below(3) == 0 ? below(1000) : 2147483647 - below(1 << 20);
    };
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: tornavel_generate WORKLOAD OUT_FILE\n", stderr);
    return 2;
  }
  std::mt19937_64 rng(20261208);
  std::int32_t side = 0;
  const row_maker make_row = workload_rows(argv[1], rng, side);
  if (!make_row) {
    std::fprintf(stderr, "tornavel_generate: unknown workload %s\n", argv[1]);
    return 2;
  }
  std::vector<std::int64_t> sums(static_cast<std::size_t>(side), 0);
  try {
    tornavel::staged_file out(argv[2]);
    tornavel::write_count_matrix_header(out.stream(), side, side);
    std::vector<std::int32_t> row(static_cast<std::size_t>(side));
    for (std::int32_t r = 0; r < side; ++r) {
      make_row(r, row);
      for (std::size_t k = 0; k < row.size(); ++k) sums[k] += row[k];
      tornavel::write_count_rows(out.stream(), row);
    }
    out.finish();
    tornavel::publish_together({&out});
  } catch (const tornavel::file_error& error) {
    std::fprintf(stderr, "tornavel_generate: %s\n", error.what());
    return 1;
  }
  std::printf("%lld\n", static_cast<long long>(*std::max_element(sums.begin(), sums.end())));
  return 0;
}
