// Count matrices as grey images, for seeing what a reordering did.
#ifndef TORNAVEL_TOOL_HEATMAP_H_
#define TORNAVEL_TOOL_HEATMAP_H_

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "matrix_files/matrix_files.h"

namespace tornavel {

struct grey_image {
  std::size_t width = 0;
  std::size_t height = 0;
  std::vector<unsigned char> pixels;  // row-major, 0 black .. 255 white
};

// A heatmap drawn from rows fed in order, so that memory follows the picture, not the matrix.
//
// One pixel per cell, or, for a matrix wider or taller than max_side, one per square block of
// cells holding the block's mean. Grey is log-scaled so that small counts show beside huge ones:
// 0 is white and the largest value black, with 255 * (1 - ln(1 + v) / ln(1 + largest)) between.
class heatmap_drawing {
 public:
  // Precondition: columns > 0 and rows > 0.
  heatmap_drawing(std::size_t columns, std::size_t rows, std::size_t max_side = 1024);
  // Adds the next whole rows, row-major.
  void add_rows(std::span<const std::int32_t> counts);
  // The image, once every row has been added.
  grey_image finish() const;

 private:
  std::size_t columns_, rows_, block_, width_, height_;
  std::size_t next_row_ = 0;
  std::vector<double> sums_;
};

// The heatmap of a whole matrix in memory. Precondition: the matrix has counts.
grey_image draw_heatmap(const count_matrix& matrix, std::size_t max_side = 1024);

enum class image_format { pgm, png };

// The format a heatmap's name asks for: PNG for a name ending in ".png", binary PGM (P5) for one
// ending in ".pgm" and for "-" (standard output); nothing for any other name.
std::optional<image_format> heatmap_format(const std::string& name);

// The image as the bytes of a file of the given format.
std::vector<unsigned char> encode_image(const grey_image& image, image_format format);

}  // namespace tornavel

#endif  // TORNAVEL_TOOL_HEATMAP_H_
