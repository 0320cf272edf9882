// Count matrices as pictures, for seeing what a reordering did: PNG or PGM images, and SVG
// pictures that name the items on both axes and carry a legend of their scale.
#ifndef TORNAVEL_VIEWS_HEATMAP_H_
#define TORNAVEL_VIEWS_HEATMAP_H_

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tornavel {

// An image, row-major: one byte a pixel (grey, 0 black .. 255 white) or three (red, green,
// blue).
struct grey_image {
  std::size_t width = 0;
  std::size_t height = 0;
  std::vector<unsigned char> pixels;
  int channels = 1;
};

// What a heatmap shows: one value a cell, or, for a matrix wider or taller than max_side, the
// mean of each square block of cells.
struct heatmap_values {
  std::size_t width = 0, height = 0;
  std::size_t block = 1;  // cells a side of a block
  std::vector<double> means;
  double largest = 0.0;
};

// The values of a heatmap from rows fed in order, so that memory follows the picture, not the
// matrix.
class heatmap_drawing {
 public:
  // Precondition: columns > 0 and rows > 0.
  heatmap_drawing(std::size_t columns, std::size_t rows, std::size_t max_side = 1024);
  // Adds the next whole rows, row-major.
  void add_rows(std::span<const std::int32_t> counts);
  // The values, once every row has been added.
  heatmap_values finish() const;

 private:
  std::size_t columns_, rows_, block_, width_, height_;
  std::size_t next_row_ = 0;
  std::vector<double> sums_;
};

enum class colour_map { grey, viridis };

struct heatmap_style {
  colour_map colours = colour_map::grey;
  // Pixels a cell a side; 0 for the smallest whole factor that makes the picture at least 512
  // pixels a side (1 for larger matrices).
  std::size_t scale = 0;
};

// The pixels a cell takes a side under style.
std::size_t scale_of(const heatmap_values& values, const heatmap_style& style);

// The picture as an image. Colours are log-scaled so that small counts show beside huge ones:
// t = ln(1 + v) / ln(1 + largest); grey goes from white (0) to black (the largest), viridis
// from dark blue to yellow, a zero staying white.
grey_image render_heatmap(const heatmap_values& values, const heatmap_style& style);

enum class image_format { pgm, png, svg };

// The format a heatmap's name asks for: PNG for ".png", SVG for ".svg", binary PGM (P5) for
// ".pgm" and for "-" (standard output); nothing for any other name.
std::optional<image_format> heatmap_format(const std::string& name);

// The image as the bytes of a PNG or PGM file (PGM: grey images only).
std::vector<unsigned char> encode_image(const grey_image& image, image_format format);

// An SVG picture of the heatmap: the image, the labels of the rows and columns (labels: one an
// item, empty for none; a block of items is named by its first and last), its cells grown to
// 12 units a side where labelled so that the names can be read at any size, and a legend of
// the colour scale with round ticks and zero's colour.
std::string heatmap_svg(const heatmap_values& values, const heatmap_style& style,
                        const std::vector<std::string>& labels);

// The bytes of the heatmap's file in the given format: an image, or an SVG picture.
std::vector<unsigned char> heatmap_file(const heatmap_values& values, const heatmap_style& style,
                                        image_format format, const std::vector<std::string>& labels);

}  // namespace tornavel

#endif  // TORNAVEL_VIEWS_HEATMAP_H_
