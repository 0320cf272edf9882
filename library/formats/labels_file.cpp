#include "formats/labels_file.h"

#include <cerrno>
#include <cstdio>

#include "files/file_error.h"
#include "files/file_stream.h"

namespace tornavel {

std::vector<std::string> load_labels(const std::string& path) {
  file_stream in = file_stream::open(path, "rb");
  std::vector<std::string> labels;
  // A label is a line of at most a mebibyte: a file that is not a labels file (/dev/zero, a
  // binary file) is refused when its first line runs past that, not read without end.
  constexpr std::size_t longest = std::size_t{1} << 20;
  std::string line;
  for (int c = 0; c != EOF;) {
    line.clear();
    while ((c = std::getc(in.get())) != EOF && c != '\n') {
      if (line.size() == longest) {
        throw file_error(path, "line " + std::to_string(labels.size() + 1) + ": a label longer than 1 MiB");
      }
      line += static_cast<char>(c);
    }
    if (c == EOF && line.empty()) break;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find('\t') != std::string::npos) {
      throw file_error(path, "line " + std::to_string(labels.size() + 1) + ": a label holds a tab");
    }
    labels.push_back(line);
  }
  if (std::ferror(in.get())) throw file_error::from_errno(path, errno);
  return labels;
}

std::vector<std::string> load_labels(const std::string& path, std::size_t items) {
  std::vector<std::string> labels = load_labels(path);
  if (labels.size() != items) {
    throw file_error(path, std::to_string(labels.size()) + " names for " + std::to_string(items) +
                               " items");
  }
  return labels;
}

}  // namespace tornavel
