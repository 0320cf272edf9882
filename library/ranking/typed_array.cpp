#include "ranking/typed_array.h"

namespace tornavel {

element_type element_type_of(char kind, std::size_t size, const std::string& dtype) {
  if (kind == 'b' && size == 1) return element_type::boolean;
  if (kind == 'i' || kind == 'u') {
    const bool is_signed = kind == 'i';
    switch (size) {
      case 1: return is_signed ? element_type::i8 : element_type::u8;
      case 2: return is_signed ? element_type::i16 : element_type::u16;
      case 4: return is_signed ? element_type::i32 : element_type::u32;
      case 8: return is_signed ? element_type::i64 : element_type::u64;
      default: break;
    }
  }
  if (kind == 'f' && size == 4) return element_type::f32;
  if (kind == 'f' && size == 8) return element_type::f64;
  throw type_refused("unsupported dtype " + dtype + " (counts are integers, bool, float32 or float64)");
}

bool is_index_type(element_type type) {
  return type != element_type::boolean && type != element_type::f32 && type != element_type::f64;
}

}  // namespace tornavel
