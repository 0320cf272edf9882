#include "tool/heatmap.h"

#include <algorithm>
#include <cmath>

namespace tornavel {

grey_image draw_heatmap(const count_matrix& matrix, std::size_t max_side) {
  const auto columns = static_cast<std::size_t>(matrix.columns);
  const std::size_t rows = matrix.stored_rows();
  const std::size_t block = (std::max(columns, rows) + max_side - 1) / max_side;
  grey_image image;
  image.width = (columns + block - 1) / block;
  image.height = (rows + block - 1) / block;

  std::vector<double> sums(image.width * image.height, 0.0);
  std::vector<double> cells(sums.size(), 0.0);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t k = 0; k < columns; ++k) {
      const std::size_t at = (r / block) * image.width + k / block;
      sums[at] += matrix.at(r, k);
      cells[at] += 1.0;
    }
  }
  double largest = 0.0;
  for (std::size_t i = 0; i < sums.size(); ++i) {
    sums[i] /= cells[i];
    largest = std::max(largest, sums[i]);
  }
  const double scale = largest > 0.0 ? std::log1p(largest) : 1.0;
  image.pixels.resize(sums.size());
  for (std::size_t i = 0; i < sums.size(); ++i) {
    image.pixels[i] = static_cast<unsigned char>(std::lround(255.0 * (1.0 - std::log1p(sums[i]) / scale)));
  }
  return image;
}

staged_file save_pgm(const grey_image& image, const std::string& path) {
  staged_file file(path);
  const std::string header =
      "P5\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n";
  write_exact(file.stream(), header.data(), header.size());
  write_exact(file.stream(), image.pixels.data(), image.pixels.size());
  file.finish();
  return file;
}

}  // namespace tornavel
