// The arithmetic floor under the log-factorial table: the running sum of log(j) for j = 1 .. N,
// nothing stored. Usage: tornavel_log_loop N
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::int64_t last = std::strtoll(argv[1], nullptr, 10);
  double sum = 0.0;
  for (std::int64_t j = 1; j <= last; ++j) sum += std::log(static_cast<double>(j));
  std::printf("%.17g\n", sum);  // printed, so the loop cannot be dropped
  return 0;
}
