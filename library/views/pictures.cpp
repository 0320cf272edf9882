#include "views/pictures.h"

#include <sys/stat.h>

#include "files/file_error.h"
#include "files/file_stream.h"
#include "files/staged_file.h"
#include "job/output_place.h"

namespace tornavel {

std::optional<image_format> image_format_for(const std::string& name) {
  if (const auto format = heatmap_format(name)) return format;
  if (where_output_goes(name) == output_place::through) return image_format::pgm;
  return std::nullopt;
}

void refuse_shown_file(const std::string& picture, const char* what,
                       const std::vector<std::optional<std::string>>& shown) {
  struct stat image;
  if (picture == "-" || stat(picture.c_str(), &image) != 0 || !S_ISREG(image.st_mode)) return;
  for (const std::optional<std::string>& name : shown) {
    struct stat file;
    if (name && stat(name->c_str(), &file) == 0 && file.st_dev == image.st_dev && file.st_ino == image.st_ino) {
      throw file_error(picture, std::string("is a file being shown; writing the ") + what + " would replace it");
    }
  }
}

bool picture_goes_to(const std::string& name, std::FILE* out) {
  struct stat image, file;
  return name == "-" || (stat(name.c_str(), &image) == 0 && fstat(fileno(out), &file) == 0 &&
                         image.st_dev == file.st_dev && image.st_ino == file.st_ino);
}

void write_picture(const std::vector<unsigned char>& bytes, const std::string& name, std::FILE* out,
                   const publish_options& publishing) {
  if (name == "-") {
    if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) throw file_error("standard output", "write error");
    return;
  }
  output_target target(name);
  write_exact(target.stream(), bytes.data(), bytes.size());
  target.finish();
  if (staged_file* staged = target.staged()) publish_together({staged}, publishing);
}

}  // namespace tornavel
