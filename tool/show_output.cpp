#include "tool/show_views.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "matrix_files/matrix_files.h"
#include "tool/output_place.h"
#include "tool/program.h"

namespace tornavel {

void refuse_shown_file(const show_options& o, const std::string& picture, const char* what) {
  struct stat image;
  if (picture == "-" || stat(picture.c_str(), &image) != 0 || !S_ISREG(image.st_mode)) return;
  for (const std::optional<std::string>& shown : {std::optional(o.file), o.labels, o.order, o.matrix}) {
    struct stat file;
    if (shown && stat(shown->c_str(), &file) == 0 && file.st_dev == image.st_dev && file.st_ino == image.st_ino) {
      throw file_error(picture, std::string("is a file being shown; writing the ") + what + " would replace it");
    }
  }
}

std::optional<image_format> image_format_for(const std::string& name) {
  if (const auto format = heatmap_format(name)) return format;
  if (where_output_goes(name) == output_place::through) return image_format::pgm;
  return std::nullopt;
}

std::size_t terminal_width() {
  winsize size{};
  if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
  }
  if (const char* columns = std::getenv("COLUMNS")) {
    const long width = std::strtol(columns, nullptr, 10);
    if (width > 0) return static_cast<std::size_t>(width);
  }
  return 80;
}

std::string name_of(const std::vector<std::string>& labels, std::size_t item) {
  return labels.empty() ? std::to_string(item) : labels[item];
}

void write_picture(const std::vector<unsigned char>& bytes, const std::string& name) {
  const output_place place = where_output_goes(name);
  if (place == output_place::standard_output) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) {
      throw file_error("standard output", "write error");
    }
    return;
  }
  if (place == output_place::through) {
    file_stream out = file_stream::open(name, "wb");
    write_exact(out, bytes.data(), bytes.size());
    out.close();
    return;
  }
  staged_file out(name);
  write_exact(out.stream(), bytes.data(), bytes.size());
  out.finish();
  publish_together({&out}, publishing_for("tornavel-show"));
}

}  // namespace tornavel
