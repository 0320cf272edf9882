#include "tool/labels_file.h"

#include <cerrno>
#include <fstream>

#include "matrix_files/file_error.h"

namespace tornavel {

std::vector<std::string> load_labels(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw file_error::from_errno(path, errno);
  std::vector<std::string> labels;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find('\t') != std::string::npos) {
      throw file_error(path, "line " + std::to_string(labels.size() + 1) + ": a label holds a tab");
    }
    labels.push_back(line);
  }
  if (in.bad()) throw file_error::from_errno(path, errno);
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
