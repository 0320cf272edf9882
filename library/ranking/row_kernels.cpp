#include "ranking/row_kernels.h"

#include <vector>

namespace tornavel {
namespace {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TORNAVEL_HAVE_AVX2_BUILD 1
#define TORNAVEL_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define TORNAVEL_HAVE_AVX2_BUILD 0
#define TORNAVEL_TARGET_AVX2
#endif

// The same source twice; only the instructions the compiler may use differ.
#define TORNAVEL_ROW_KERNELS(suffix, attributes)                                                 \
  attributes void add_dense_row_##suffix(const std::int32_t* row, std::size_t columns,          \
                                         const float* dense, std::int64_t* counts,              \
                                         double* logs) {                                        \
    add_row(row, columns, [dense](std::int32_t x) { return dense[x]; }, counts, logs);          \
  }                                                                                             \
  attributes void gather_row_##suffix(const std::int32_t* from, const std::int32_t* order,     \
                                      std::int32_t* to, std::size_t columns) {                  \
    for (std::size_t k = 0; k < columns; ++k) to[k] = from[order[k]];                           \
  }

TORNAVEL_ROW_KERNELS(portable, )
#if TORNAVEL_HAVE_AVX2_BUILD
TORNAVEL_ROW_KERNELS(avx2, TORNAVEL_TARGET_AVX2)
#endif

std::vector<row_kernels> find_row_kernels() {
  std::vector<row_kernels> found{{add_dense_row_portable, gather_row_portable, "portable"}};
#if TORNAVEL_HAVE_AVX2_BUILD
  if (__builtin_cpu_supports("avx2")) found.push_back({add_dense_row_avx2, gather_row_avx2, "avx2"});
#endif
  return found;
}

}  // namespace

std::span<const row_kernels> available_row_kernels() {
  static const std::vector<row_kernels> found = find_row_kernels();
  return found;
}

const row_kernels& fastest_row_kernels() { return available_row_kernels().back(); }

}  // namespace tornavel
