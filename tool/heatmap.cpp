#include "tool/heatmap.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <new>

namespace tornavel {

heatmap_drawing::heatmap_drawing(std::size_t columns, std::size_t rows, std::size_t max_side)
    : columns_(columns),
      rows_(rows),
      block_((std::max(columns, rows) + max_side - 1) / max_side),
      width_((columns + block_ - 1) / block_),
      height_((rows + block_ - 1) / block_),
      sums_(width_ * height_, 0.0) {}

void heatmap_drawing::add_rows(std::span<const std::int32_t> counts) {
  for (std::size_t at = 0; at < counts.size(); at += columns_, ++next_row_) {
    double* sums = &sums_[(next_row_ / block_) * width_];
    for (std::size_t k = 0; k < columns_; ++k) sums[k / block_] += counts[at + k];
  }
}

grey_image heatmap_drawing::finish() const {
  grey_image image;
  image.width = width_;
  image.height = height_;
  std::vector<double> means(sums_.size());
  double largest = 0.0;
  for (std::size_t i = 0; i < means.size(); ++i) {
    // Blocks on the right and bottom edges may hold fewer cells.
    const std::size_t x = i % width_, y = i / width_;
    const std::size_t cells = (std::min(columns_, (x + 1) * block_) - x * block_) *
                              (std::min(rows_, (y + 1) * block_) - y * block_);
    means[i] = sums_[i] / static_cast<double>(cells);
    largest = std::max(largest, means[i]);
  }
  const double scale = largest > 0.0 ? std::log1p(largest) : 1.0;
  image.pixels.resize(means.size());
  for (std::size_t i = 0; i < means.size(); ++i) {
    image.pixels[i] = static_cast<unsigned char>(std::lround(255.0 * (1.0 - std::log1p(means[i]) / scale)));
  }
  return image;
}

grey_image draw_heatmap(const count_matrix& matrix, std::size_t max_side) {
  heatmap_drawing drawing(static_cast<std::size_t>(matrix.columns), matrix.stored_rows(), max_side);
  drawing.add_rows(matrix.counts);
  return drawing.finish();
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
