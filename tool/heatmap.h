// Count matrices as grey images, for seeing what a reordering did.
#ifndef TORNAVEL_TOOL_HEATMAP_H_
#define TORNAVEL_TOOL_HEATMAP_H_

#include <cstddef>
#include <string>
#include <vector>

#include "matrix_files/matrix_files.h"

namespace tornavel {

struct grey_image {
  std::size_t width = 0;
  std::size_t height = 0;
  std::vector<unsigned char> pixels;  // row-major, 0 black .. 255 white
};

// One pixel per cell, or, for a matrix wider or taller than max_side, one per square block of
// cells holding the block's mean. Grey is log-scaled so that small counts show beside huge ones:
// 0 is white and the largest value black, with 255 * (1 - ln(1 + v) / ln(1 + largest)) between.
// Precondition: the matrix has counts.
grey_image draw_heatmap(const count_matrix& matrix, std::size_t max_side = 1024);

// Writes image as a binary PGM (P5) file destined for path, finished but unpublished.
staged_file save_pgm(const grey_image& image, const std::string& path);

}  // namespace tornavel

#endif  // TORNAVEL_TOOL_HEATMAP_H_
