#include "system/large_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tornavel {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
// From here on, huge pages; below, the pages of a map of its own. Below mapped_from, the heap's:
// it wastes no rounding, and its zeroing is as cheap as a map's.
constexpr std::size_t huge_from = std::size_t{1} << 20;
#if defined(__SANITIZE_ADDRESS__)
#define TORNAVEL_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TORNAVEL_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef TORNAVEL_ADDRESS_SANITIZER
constexpr std::size_t mapped_from = huge_from;  // the sanitizer watches the heap's blocks, not maps
#else
constexpr std::size_t mapped_from = std::size_t{128} << 10;
#endif

std::size_t page_size() {
  static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

std::size_t round_up(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

std::size_t mapped_bytes(std::size_t bytes) {
  return round_up(bytes, bytes >= huge_from ? huge_page : page_size());
}

// Blocks given back, kept for the next of the same mapped size. A process whose freed memory
// goes back to the kernel at once (a Dask worker: Dask sets MALLOC_TRIM_THRESHOLD_) pays a fault
// for every page of every new block, which costs a virtual machine up to 10 us: a reorder's
// split of 125,000 rows took 34 ms there against 12 ms where the heap kept its pages. Each slot
// holds a block's address with its size in pages in the low bits, which the page alignment of
// every block leaves free, so that a slot is taken or filled by one atomic step: no lock that a
// fork could leave held. Kept bytes stay within a bound, and the pages of a kept block are
// resident: a process's size counts them.
class kept_blocks {
 public:
  void* take(std::size_t size) {
    const std::uintptr_t pages = size / page_size();
    if (pages > low_mask()) return nullptr;
    for (auto& slot : slots_) {
      std::uintptr_t held = slot.load(std::memory_order_relaxed);
      if (held != 0 && (held & low_mask()) == pages &&
          slot.compare_exchange_strong(held, 0, std::memory_order_acquire)) {
        bytes_.fetch_sub(size, std::memory_order_relaxed);
        return reinterpret_cast<void*>(held & ~low_mask());
      }
    }
    return nullptr;
  }

  bool keep(void* block, std::size_t size) {
    const std::uintptr_t pages = size / page_size();
    if (pages > low_mask() || size > most_bytes / 4) return false;
    if (bytes_.fetch_add(size, std::memory_order_relaxed) + size > most_bytes) {
      bytes_.fetch_sub(size, std::memory_order_relaxed);
      return false;
    }
    const std::uintptr_t held = reinterpret_cast<std::uintptr_t>(block) | pages;
    for (auto& slot : slots_) {
      std::uintptr_t empty = 0;
      if (slot.compare_exchange_strong(empty, held, std::memory_order_release)) return true;
    }
    bytes_.fetch_sub(size, std::memory_order_relaxed);
    return false;
  }

 private:
  static constexpr std::size_t most_bytes = std::size_t{64} << 20;
  static std::uintptr_t low_mask() { return page_size() - 1; }

  std::array<std::atomic<std::uintptr_t>, 16> slots_{};
  std::atomic<std::size_t> bytes_{0};
};

kept_blocks& kept() {
  static kept_blocks blocks;  // never destroyed before a late free: a static in a function
  return blocks;
}

void* mapped_block(std::size_t size) {
  if (size < huge_from) {
    void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    return block;
  }
  if (size + huge_page < size) throw std::bad_alloc();
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

}  // namespace

void* allocate_zeroed(std::size_t bytes) {
  if (bytes < mapped_from) {
    void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  const std::size_t size = mapped_bytes(bytes);
  if (size < bytes) throw std::bad_alloc();
  if (void* block = kept().take(size)) {
    std::memset(block, 0, bytes);  // what lies past bytes is never read
    return block;
  }
  return mapped_block(size);
}

void free_zeroed(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < mapped_from) {
    std::free(block);
    return;
  }
  const std::size_t size = mapped_bytes(bytes);
  if (!kept().keep(block, size)) munmap(block, size);
}

}  // namespace tornavel
