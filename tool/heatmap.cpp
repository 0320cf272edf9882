#include "tool/heatmap.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <new>

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

std::optional<image_format> heatmap_format(const std::string& name) {
  const auto ends_with = [&](const char* suffix) {
    const std::string end = suffix;
    return name.size() > end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0;
  };
  if (ends_with(".png")) return image_format::png;
  if (ends_with(".pgm") || name == "-") return image_format::pgm;
  return std::nullopt;
}

namespace {

std::vector<unsigned char> encode_pgm(const grey_image& image) {
  const std::string header =
      "P5\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n";
  std::vector<unsigned char> out(header.begin(), header.end());
  out.insert(out.end(), image.pixels.begin(), image.pixels.end());
  return out;
}

extern "C" void append_png_bytes(png_structp png, png_bytep data, png_size_t size) {
  auto* out = static_cast<std::vector<unsigned char>*>(png_get_io_ptr(png));
  try {
    out->insert(out->end(), data, data + size);
  } catch (const std::bad_alloc&) {
    png_error(png, "out of memory");
  }
}

extern "C" void flush_nothing(png_structp) {}

std::vector<unsigned char> encode_png(const grey_image& image) {
  std::vector<unsigned char> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    throw std::bad_alloc();  // libpng fails on writing to memory only for want of memory
  }
  png_set_write_fn(png, &out, append_png_bytes, flush_nothing);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (std::size_t row = 0; row < image.height; ++row) {
    png_write_row(png, image.pixels.data() + row * image.width);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

}  // namespace

std::vector<unsigned char> encode_image(const grey_image& image, image_format format) {
  return format == image_format::png ? encode_png(image) : encode_pgm(image);
}

}  // namespace tornavel
