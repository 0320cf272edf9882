// Arrays of zeros for the per-column state of a pass, which a large matrix makes large and each
// pass makes anew.
#ifndef TORNAVEL_RANKING_ZEROED_MEMORY_H_
#define TORNAVEL_RANKING_ZEROED_MEMORY_H_

#include <cstddef>
#include <type_traits>
#include <utility>

namespace tornavel {

// A block of bytes, all zero: a large one mapped straight from the kernel, which hands out
// pages already cleared (so no clearing pass), on huge pages where it can (one fault per 2 MiB
// instead of one per 4 KiB: a pass over a million columns spent a third of its time in faults).
// Throws std::bad_alloc.
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

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_ZEROED_MEMORY_H_
