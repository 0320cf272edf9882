#include "system/large_memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace tornavel {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
// Below this, the heap's own zeroing is as cheap and wastes no rounding.
constexpr std::size_t mapped_from = std::size_t{1} << 20;

std::size_t mapped_bytes(std::size_t bytes) { return (bytes + huge_page - 1) / huge_page * huge_page; }

}  // namespace

void* allocate_zeroed(std::size_t bytes) {
  if (bytes < mapped_from) {
    void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  const std::size_t size = mapped_bytes(bytes);
  if (size < bytes || size + huge_page < size) throw std::bad_alloc();
  // Mapped a huge page over, so that the block can start on a huge page's boundary; the
  // margins are given back.
  void* mapped = mmap(nullptr, size + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + huge_page - 1) / huge_page * huge_page;
  if (aligned > start) munmap(mapped, aligned - start);
  if (const std::size_t tail = start + huge_page - aligned; tail > 0) {
    munmap(reinterpret_cast<void*>(aligned + size), tail);
  }
  void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(block, size, MADV_HUGEPAGE);  // advice only: without huge pages all still works
#endif
  return block;
}

void free_zeroed(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < mapped_from) {
    std::free(block);
  } else {
    munmap(block, mapped_bytes(bytes));
  }
}

}  // namespace tornavel
