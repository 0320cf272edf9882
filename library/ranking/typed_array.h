// Arrays that another program holds (NumPy's, SciPy's), described by where their elements lie and
// of what type they are, so that the ranking can read them where they lie: never written,
// perhaps changed by their owner meanwhile, so every element is read once, into a copy that is
// then checked and used.
#ifndef TORNAVEL_RANKING_TYPED_ARRAY_H_
#define TORNAVEL_RANKING_TYPED_ARRAY_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "model/value_rules.h"

namespace tornavel {

enum class element_type { i8, i16, i32, i64, u8, u16, u32, u64, boolean, f32, f64 };

// The element type of NumPy's kind character ('i', 'u', 'b', 'f') and item size; throws
// type_refused, naming dtype, for any other (float16, complex, text, objects).
element_type element_type_of(char kind, std::size_t size, const std::string& dtype);

// Calls f with a value of the element type's C++ type.
template <typename F>
decltype(auto) with_element_type(element_type type, F&& f) {
  switch (type) {
    case element_type::i8: return f(std::int8_t{});
    case element_type::i16: return f(std::int16_t{});
    case element_type::i32: return f(std::int32_t{});
    case element_type::i64: return f(std::int64_t{});
    case element_type::u8: return f(std::uint8_t{});
    case element_type::u16: return f(std::uint16_t{});
    case element_type::u32: return f(std::uint32_t{});
    case element_type::u64: return f(std::uint64_t{});
    case element_type::boolean: return f(bool{});
    case element_type::f32: return f(float{});
    case element_type::f64: break;
  }
  return f(double{});
}

// size elements of the given type, contiguous, starting at data.
struct typed_array {
  const void* data = nullptr;
  element_type type = element_type::i32;
  std::size_t size = 0;

  template <typename T>
  const T* as() const {
    return static_cast<const T*>(data);
  }
};

// A value as a count, without a branch, so that a loop of them becomes vector instructions:
// sets fault if the value rules refuse it (value_fault then says why).
template <typename T>
inline std::int32_t count_or_fault(T value, bool& fault) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? 1 : 0;
  } else if constexpr (std::is_floating_point_v<T>) {
    // Below 2^31, a power of two every floating type holds exactly, the conversion is defined;
    // what it drops (a fraction, or 2^31 - 1 + 0.5) shows as a difference.
    const bool bad = !(value >= 0 && value < T(static_cast<double>(most_count) + 1.0));
    const auto count = static_cast<std::int32_t>(bad ? T(0) : value);
    fault |= bad || static_cast<T>(count) != value;
    return count;
  } else {
    // A negative value of a signed type becomes a huge unsigned one.
    fault |= static_cast<std::uint64_t>(value) > static_cast<std::uint64_t>(most_count);
    return static_cast<std::int32_t>(value);
  }
}

// Why the value rules refuse a value of any element type, or "".
template <typename T>
std::string value_fault_of(T value) {
  if constexpr (std::is_same_v<T, bool>) {
    return "";
  } else if constexpr (std::is_floating_point_v<T>) {
    return value_fault(static_cast<double>(value));
  } else if constexpr (std::is_signed_v<T>) {
    return value_fault(static_cast<std::int64_t>(value));
  } else {
    return value_fault(static_cast<std::uint64_t>(value));
  }
}

// Element i of an array of integers (indices, pointers), as a signed 64-bit value: an unsigned
// value too large for it comes back negative, and is refused as any negative index is.
inline std::int64_t index_at(const typed_array& a, std::size_t i) {
  return with_element_type(a.type, [&](auto sample) -> std::int64_t {
    using T = decltype(sample);
    T value;
    std::memcpy(&value, static_cast<const char*>(a.data) + i * sizeof(T), sizeof(T));
    if constexpr (std::is_floating_point_v<T> || std::is_same_v<T, bool>) {
      return -1;  // not an index type: refused where arrays are described
    } else {
      return static_cast<std::int64_t>(value);
    }
  });
}

// Whether the type can hold indices (a signed or unsigned integer).
bool is_index_type(element_type type);

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_TYPED_ARRAY_H_
