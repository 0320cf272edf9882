// Build-time generator of the running-sum checkpoints: writes S(i * log_sum_stride) for
// i = 0 .. log_sum_checkpoint_end / log_sum_stride as raw binary64 values to OUT_FILE.
// It walks with the tool's own walk_log_sum, against the same log, so the tool can start from
// any checkpoint and reach every entry bit for bit as a walk from 1 would.
#include <cstdio>
#include <vector>

#include "ranking/log_sum.h"

int main(int argc, char** argv) {
  using namespace tornavel;
  if (argc != 2) {
    std::fputs("usage: make_log_checkpoints OUT_FILE\n", stderr);
    return 2;
  }
  std::vector<double> sums{0.0};
  double sum = 0.0;
  for (std::int64_t at = 0; at < log_sum_checkpoint_end; at += log_sum_stride) {
    sum = walk_log_sum(sum, at, at + log_sum_stride);
    sums.push_back(sum);
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written = std::fwrite(sums.data(), sizeof(double), sums.size(), out) == sums.size();
  if (std::fclose(out) != 0 || !written) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
