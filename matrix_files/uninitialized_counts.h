// The buffer type for counts that are about to be overwritten: a vector whose new elements are
// left uninitialised, for buffers filled straight from a file or a pipe.
#ifndef TORNAVEL_MATRIX_FILES_UNINITIALIZED_COUNTS_H_
#define TORNAVEL_MATRIX_FILES_UNINITIALIZED_COUNTS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace tornavel {

// Large blocks are aligned to and advised for huge pages, which cuts the page faults of filling
// them a hundredfold. Both return or take blocks of at least large_block_bytes.
inline constexpr std::size_t large_block_bytes = std::size_t{4} << 20;
void* allocate_large_block(std::size_t bytes);  // throws std::bad_alloc
void free_large_block(void* block) noexcept;

// An allocator that leaves new elements uninitialised, so that a buffer about to be filled by a
// read is not first cleared for nothing, and that puts large buffers on huge pages.
template <typename T>
struct uninitialized_allocator {
  using value_type = T;

  uninitialized_allocator() = default;
  template <typename U>
  uninitialized_allocator(const uninitialized_allocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n * sizeof(T) >= large_block_bytes) {
      return static_cast<T*>(allocate_large_block(n * sizeof(T)));
    }
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) >= large_block_bytes) {
      free_large_block(p);
    } else {
      std::allocator<T>().deallocate(p, n);
    }
  }
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  friend bool operator==(const uninitialized_allocator&, const uninitialized_allocator&) {
    return true;
  }
};

// Resizing it leaves the new counts with whatever the memory held: write before reading.
using uninitialized_counts = std::vector<std::int32_t, uninitialized_allocator<std::int32_t>>;

}  // namespace tornavel

#endif  // TORNAVEL_MATRIX_FILES_UNINITIALIZED_COUNTS_H_
