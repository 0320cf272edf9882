#include "views/heatmap.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <new>

#include "views/axis_ticks.h"
#include "views/svg_text.h"

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

namespace {

// At most 24 characters of a label, cut between characters, with an ellipsis where cut.
std::string shortened(const std::string& label) {
  constexpr std::size_t most = 24;
  std::size_t at = 0, characters = 0;
  while (at < label.size() && characters < most) {
    ++at;
    while (at < label.size() && (static_cast<unsigned char>(label[at]) & 0xc0) == 0x80) ++at;
    ++characters;
  }
  return at < label.size() ? label.substr(0, at) + "\u2026" : label;
}

std::size_t characters_in(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
  }));
}

// The name of each cell along an axis: an item's label, or for a block of items the first and
// last of them.
std::vector<std::string> cell_names(const std::vector<std::string>& labels, std::size_t cells, std::size_t block) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < cells && i * block < labels.size(); ++i) {
    const std::size_t last = std::min((i + 1) * block, labels.size()) - 1;
    names.push_back(block == 1 || last == i * block ? shortened(labels[i * block])
                                                    : shortened(labels[i * block]) + "\u2013" + shortened(labels[last]));
  }
  return names;
}

// The legend: the colour bar from the smallest value above zero to the largest, round ticks
// beside it, zero's own swatch below (white, as zero cells are), and what the colours stand for.
std::string legend_svg(const heatmap_values& values, const heatmap_style& style, double x, double y, double bar_height,
                       double& right_edge, double& bottom_edge) {
  double smallest = values.largest;
  for (const double v : values.means) {
    if (v > 0.0) smallest = std::min(smallest, v);
  }
  heatmap_values bar;
  bar.width = 1;
  bar.height = 256;
  bar.largest = values.largest;
  for (int i = 256; i >= 1; --i) bar.means.push_back(std::expm1(std::log1p(values.largest) * i / 256.0));
  heatmap_style bar_style = style;
  bar_style.scale = 16;
  std::string svg = image_element(x, y, 16.0, bar_height, render_heatmap(bar, bar_style));
  char text[300];
  double widest = 1;
  if (values.largest > 0.0) {
    const std::vector<double> ticks = log_ticks(smallest, values.largest);
    for (const double tick : ticks) {
      const std::string label = tick_text(tick, ticks.back());
      widest = std::max(widest, static_cast<double>(label.size()));
      const double at = y + bar_height * (1.0 - std::log1p(tick) / std::log1p(values.largest));
      std::snprintf(text, sizeof text,
                    "<path d=\"M %g %g h 4\" stroke=\"black\"/><text x=\"%g\" y=\"%g\" font-size=\"11\" "
                    "dominant-baseline=\"middle\">%s</text>\n",
                    x + 16.0, at, x + 22.0, at, label.c_str());
      svg += text;
    }
  }
  unsigned char zero[3] = {};
  colour_at(0.0, 0.0, style.colours, zero);
  if (style.colours == colour_map::grey) zero[1] = zero[2] = zero[0];
  const double swatch = y + bar_height + 10.0;
  std::snprintf(text, sizeof text,
                "<rect x=\"%g\" y=\"%g\" width=\"16\" height=\"12\" fill=\"rgb(%d,%d,%d)\" stroke=\"#888\"/>"
                "<text x=\"%g\" y=\"%g\" font-size=\"11\" dominant-baseline=\"middle\">0</text>\n",
                x, swatch, zero[0], zero[1], zero[2], x + 22.0, swatch + 6.0);
  svg += text;
  const std::string what = values.block > 1 ? "block mean (" + std::to_string(values.block) + " x " +
                                                  std::to_string(values.block) + " cells)"
                                            : "count";
  std::snprintf(text, sizeof text,
                "<text x=\"%g\" y=\"%g\" font-size=\"11\">%s,</text>\n"
                "<text x=\"%g\" y=\"%g\" font-size=\"11\">log scale</text>\n",
                x, swatch + 30.0, what.c_str(), x, swatch + 44.0);
  svg += text;
  right_edge = x + std::max(22.0 + 7.0 * widest, 6.5 * static_cast<double>(what.size() + 1)) + 8.0;
  bottom_edge = swatch + 52.0;
  return svg;
}

}  // namespace

std::string heatmap_svg(const heatmap_values& values, const heatmap_style& style,
                        const std::vector<std::string>& labels) {
  const auto pixel = static_cast<double>(scale_of(values, style));
  // Labels need cells of some height to be read; the image is only drawn larger, which a
  // vector picture does without blurring its cells.
  const std::vector<std::string> columns = cell_names(labels, values.width, values.block);
  const std::vector<std::string> rows = cell_names(labels, values.height, values.block);
  const bool named = !columns.empty();
  const double cell = named ? std::max(pixel, 12.0) : pixel;
  const double width = static_cast<double>(values.width) * cell;
  const double height = static_cast<double>(values.height) * cell;
  const double font = std::min(14.0, cell * 0.8);
  std::size_t longest = 0;
  for (const std::string& name : columns) longest = std::max(longest, characters_in(name));
  const double margin = named ? 12.0 + font * 0.62 * static_cast<double>(longest) : 8.0;
  char text[400];
  std::string body;
  // Drawn at full size, so that no renderer blurs the cells by smoothing a small image.
  body += image_element(margin, margin, width, height, render_heatmap(values, style));
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const double centre = margin + (static_cast<double>(i) + 0.5) * cell;
    // Columns along the top, written upwards; rows down the left.
    std::snprintf(text, sizeof text,
                  "<text x=\"%g\" y=\"%g\" font-size=\"%g\" text-anchor=\"start\" dominant-baseline=\"middle\" "
                  "transform=\"rotate(-90 %g %g)\">",
                  centre, margin - 4.0, font, centre, margin - 4.0);
    body += text + xml_text(columns[i]) + "</text>\n";
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const double centre = margin + (static_cast<double>(i) + 0.5) * cell;
    std::snprintf(text, sizeof text,
                  "<text x=\"%g\" y=\"%g\" font-size=\"%g\" text-anchor=\"end\" dominant-baseline=\"middle\">",
                  margin - 4.0, centre, font);
    body += text + xml_text(rows[i]) + "</text>\n";
  }
  double right = 0, bottom = 0;
  body += legend_svg(values, style, margin + width + 24.0, margin, std::min(std::max(height, 120.0), 256.0), right,
                     bottom);
  return svg_start(right, std::max(margin + height + 8.0, bottom), "font-family=\"sans-serif\"") + body + "</svg>\n";
}

std::vector<unsigned char> heatmap_file(const heatmap_values& values, const heatmap_style& style,
                                        image_format format, const std::vector<std::string>& labels) {
  if (format != image_format::svg) return encode_image(render_heatmap(values, style), format);
  const std::string svg = heatmap_svg(values, style, labels);
  return std::vector<unsigned char>(svg.begin(), svg.end());
}

}  // namespace tornavel
