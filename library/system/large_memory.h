// Memory for the per-column state of a pass and the per-item results of a call, which a large
// matrix makes large and each call makes anew.
#ifndef TORNAVEL_SYSTEM_LARGE_MEMORY_H_
#define TORNAVEL_SYSTEM_LARGE_MEMORY_H_

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace tornavel {

// A block of bytes, all zero: a large one mapped straight from the kernel, which hands out
// pages already cleared (so no clearing pass), on huge pages where it can (one fault per 2 MiB
// instead of one per 4 KiB: a pass over a million columns spent a third of its time in faults,
// and on a virtual machine a fault can cost more than clearing its page); or one given back
// earlier, of the same size, cleared. Thread-safe. Throws std::bad_alloc.
void* allocate_zeroed(std::size_t bytes);
void free_zeroed(void* block, std::size_t bytes) noexcept;

// n values of a type for which all-zero bytes are the value 0.
template <typename T>
class zeroed_array {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  zeroed_array() = default;
  explicit zeroed_array(std::size_t n)
      : data_(static_cast<T*>(allocate_zeroed(n * sizeof(T)))), size_(n) {}
  zeroed_array(zeroed_array&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  zeroed_array& operator=(zeroed_array&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~zeroed_array() { free_zeroed(data_, size_ * sizeof(T)); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

// An allocator of such blocks for vectors of results (a million items' records cost a few
// faults, not thousands). Elements are default-initialised: a new vector's are zero, but those
// a resize adds to a vector that was larger hold what they held, so write before reading.
template <typename T>
struct large_allocator {
  using value_type = T;
  large_allocator() = default;
  template <typename U>
  large_allocator(const large_allocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_zeroed(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { free_zeroed(p, n * sizeof(T)); }
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  friend bool operator==(const large_allocator&, const large_allocator&) { return true; }
};

template <typename T>
using large_vector = std::vector<T, large_allocator<T>>;

}  // namespace tornavel

#endif  // TORNAVEL_SYSTEM_LARGE_MEMORY_H_
