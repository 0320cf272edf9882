#include "matrix_files/order_file.h"

namespace tornavel {

staged_file save_file(std::span<const std::int32_t> order, const std::string& path) {
  staged_file file(path);
  write_words(file.stream(), order);
  file.finish();
  return file;
}

}  // namespace tornavel
