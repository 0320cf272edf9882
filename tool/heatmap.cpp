#include "tool/heatmap.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <new>

#include "tool/svg_text.h"

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

heatmap_values heatmap_drawing::finish() const {
  heatmap_values v;
  v.width = width_;
  v.height = height_;
  v.block = block_;
  v.means.resize(sums_.size());
  for (std::size_t i = 0; i < v.means.size(); ++i) {
    // Blocks on the right and bottom edges may hold fewer cells.
    const std::size_t x = i % width_, y = i / width_;
    const std::size_t cells = (std::min(columns_, (x + 1) * block_) - x * block_) *
                              (std::min(rows_, (y + 1) * block_) - y * block_);
    v.means[i] = sums_[i] / static_cast<double>(cells);
    v.largest = std::max(v.largest, v.means[i]);
  }
  return v;
}

namespace {

// Where a value lies on the log scale, 0 .. 1.
double scale_position(double value, double largest) {
  return largest > 0.0 ? std::log1p(value) / std::log1p(largest) : 0.0;
}

// Viridis, as matplotlib defines it, at nine points; in between, the nearest two are blended.
constexpr unsigned char viridis[9][3] = {{68, 1, 84},    {71, 44, 122},  {59, 81, 139},
                                         {44, 113, 142}, {33, 144, 141}, {39, 173, 129},
                                         {92, 200, 99},  {170, 220, 50}, {253, 231, 37}};

void colour_at(double t, double value, colour_map colours, unsigned char* out) {
  if (colours == colour_map::grey) {
    out[0] = static_cast<unsigned char>(std::lround(255.0 * (1.0 - t)));
    return;
  }
  if (value == 0.0) {
    out[0] = out[1] = out[2] = 255;
    return;
  }
  const double at = std::clamp(t, 0.0, 1.0) * 8.0;
  const auto low = std::min<std::size_t>(static_cast<std::size_t>(at), 7);
  const double f = at - static_cast<double>(low);
  for (int c = 0; c < 3; ++c) {
    out[c] = static_cast<unsigned char>(std::lround(viridis[low][c] * (1.0 - f) + viridis[low + 1][c] * f));
  }
}

}  // namespace

std::size_t scale_of(const heatmap_values& values, const heatmap_style& style) {
  if (style.scale > 0) return style.scale;
  const std::size_t side = std::max<std::size_t>(1, std::max(values.width, values.height));
  return (512 + side - 1) / side;
}

grey_image render_heatmap(const heatmap_values& values, const heatmap_style& style) {
  const std::size_t scale = scale_of(values, style);
  grey_image image;
  image.channels = style.colours == colour_map::grey ? 1 : 3;
  image.width = values.width * scale;
  image.height = values.height * scale;
  image.pixels.resize(image.width * image.height * static_cast<std::size_t>(image.channels));
  const auto channels = static_cast<std::size_t>(image.channels);
  for (std::size_t y = 0; y < values.height; ++y) {
    for (std::size_t x = 0; x < values.width; ++x) {
      const double value = values.means[y * values.width + x];
      unsigned char colour[3] = {};
      colour_at(scale_position(value, values.largest), value, style.colours, colour);
      for (std::size_t dy = 0; dy < scale; ++dy) {
        unsigned char* at = &image.pixels[((y * scale + dy) * image.width + x * scale) * channels];
        for (std::size_t dx = 0; dx < scale; ++dx) std::copy_n(colour, channels, at + dx * channels);
      }
    }
  }
  return image;
}

grey_image draw_heatmap(const count_matrix& matrix, std::size_t max_side) {
  heatmap_drawing drawing(static_cast<std::size_t>(matrix.columns), matrix.stored_rows(), max_side);
  drawing.add_rows(matrix.counts);
  return render_heatmap(drawing.finish(), {colour_map::grey, 1});
}

std::optional<image_format> heatmap_format(const std::string& name) {
  const auto ends_with = [&](const char* suffix) {
    const std::string end = suffix;
    return name.size() > end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0;
  };
  if (ends_with(".png")) return image_format::png;
  if (ends_with(".svg")) return image_format::svg;
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
               static_cast<png_uint_32>(image.height), 8,
               image.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (std::size_t row = 0; row < image.height; ++row) {
    png_write_row(png, image.pixels.data() + row * image.width * static_cast<std::size_t>(image.channels));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

}  // namespace

std::vector<unsigned char> encode_image(const grey_image& image, image_format format) {
  return format == image_format::png ? encode_png(image) : encode_pgm(image);
}

namespace {

std::string base64(const std::vector<unsigned char>& bytes) {
  static constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::uint32_t n = std::uint32_t{bytes[i]} << 16 |
                            (i + 1 < bytes.size() ? std::uint32_t{bytes[i + 1]} << 8 : 0) |
                            (i + 2 < bytes.size() ? bytes[i + 2] : 0);
    out += digits[n >> 18 & 63];
    out += digits[n >> 12 & 63];
    out += i + 1 < bytes.size() ? digits[n >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? digits[n & 63] : '=';
  }
  return out;
}


std::string image_element(double x, double y, double width, double height, const grey_image& image) {
  char head[200];
  std::snprintf(head, sizeof head,
                "<image x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" preserveAspectRatio=\"none\" "
                "style=\"image-rendering:pixelated\" href=\"data:image/png;base64,",
                x, y, width, height);
  return head + base64(encode_image(image, image_format::png)) + "\"/>\n";
}

}  // namespace

std::string heatmap_svg(const heatmap_values& values, const heatmap_style& style,
                        const std::vector<std::string>& labels) {
  const auto cell = static_cast<double>(scale_of(values, style));
  const double width = static_cast<double>(values.width) * cell;
  const double height = static_cast<double>(values.height) * cell;
  // Labels go where each cell is an item and tall enough to read.
  const bool named = !labels.empty() && values.block == 1 && cell >= 6.0;
  const double font = std::min(14.0, cell * 0.8);
  std::size_t longest = 0;
  for (const std::string& label : labels) longest = std::max(longest, label.size());
  const double margin = named ? 12.0 + font * 0.65 * static_cast<double>(std::min<std::size_t>(longest, 24)) : 8.0;
  const double legend_x = margin + width + 24.0;
  const double total_width = legend_x + 110.0, total_height = margin + height + 40.0;
  char text[400];
  std::string svg;
  svg += svg_start(total_width, total_height, "font-family=\"sans-serif\"");
  // Drawn at full size, so that no renderer blurs the cells by smoothing a small image.
  svg += image_element(margin, margin, width, height, render_heatmap(values, style));
  if (named) {
    for (std::size_t i = 0; i < values.width && i < labels.size(); ++i) {
      const double centre = margin + (static_cast<double>(i) + 0.5) * cell;
      // Columns along the top, written upwards; rows down the left.
      std::snprintf(text, sizeof text,
                    "<text x=\"%g\" y=\"%g\" font-size=\"%g\" text-anchor=\"start\" dominant-baseline=\"middle\" "
                    "transform=\"rotate(-90 %g %g)\">",
                    centre, margin - 4.0, font, centre, margin - 4.0);
      svg += text + xml_text(labels[i]) + "</text>\n";
      std::snprintf(text, sizeof text,
                    "<text x=\"%g\" y=\"%g\" font-size=\"%g\" text-anchor=\"end\" dominant-baseline=\"middle\">",
                    margin - 4.0, centre, font);
      svg += text + xml_text(labels[i]) + "</text>\n";
    }
  }
  // The legend: the colour scale from 0 to the largest value, with the counts it stands for.
  heatmap_values bar;
  bar.width = 1;
  bar.height = 256;
  bar.largest = values.largest;
  for (int i = 255; i >= 0; --i) bar.means.push_back(std::expm1(std::log1p(values.largest) * i / 255.0));
  const double bar_height = std::min(height, 256.0);
  heatmap_style bar_style = style;
  bar_style.scale = 16;
  svg += image_element(legend_x, margin, 16.0, bar_height, render_heatmap(bar, bar_style));
  for (int tick = 0; tick <= 4; ++tick) {
    const double t = tick / 4.0;
    const double value = std::expm1(std::log1p(values.largest) * t);
    std::snprintf(text, sizeof text,
                  "<text x=\"%g\" y=\"%g\" font-size=\"11\" dominant-baseline=\"middle\">%.3g</text>\n",
                  legend_x + 20.0, margin + bar_height * (1.0 - t), value);
    svg += text;
  }
  std::snprintf(text, sizeof text,
                "<text x=\"%g\" y=\"%g\" font-size=\"11\">%s, log scale</text>\n</svg>\n", legend_x,
                margin + bar_height + 18.0, values.block > 1 ? "block mean" : "count");
  svg += text;
  return svg;
}

std::vector<unsigned char> heatmap_file(const heatmap_values& values, const heatmap_style& style,
                                        image_format format, const std::vector<std::string>& labels) {
  if (format != image_format::svg) return encode_image(render_heatmap(values, style), format);
  const std::string svg = heatmap_svg(values, style, labels);
  return std::vector<unsigned char>(svg.begin(), svg.end());
}

}  // namespace tornavel
