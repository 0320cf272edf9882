#include "matrix_files/uninitialized_counts.h"

#include <sys/mman.h>

#include <cstdlib>

namespace tornavel {

namespace {
constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;
}

void* allocate_large_block(std::size_t bytes) {
  const std::size_t rounded = (bytes + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes;
  if (rounded < bytes) throw std::bad_alloc();
  void* block = std::aligned_alloc(huge_page_bytes, rounded);
  if (block == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  madvise(block, rounded, MADV_HUGEPAGE);  // advice only: without huge pages all still works
#endif
  return block;
}

void free_large_block(void* block) noexcept { std::free(block); }

}  // namespace tornavel
