#include "job/ranked_labels.h"

#include "files/file_error.h"
#include "job/rank_job.h"
#include "matrix_files/order_file.h"

namespace tornavel {

std::vector<std::string> ranked_labels(const std::vector<std::string>& labels, const std::string& order_path) {
  const std::vector<std::int32_t> order = load_order_file(order_path);
  if (order.size() != labels.size()) {
    throw file_error(order_path, "has " + std::to_string(order.size()) + " entries for " +
                                     std::to_string(labels.size()) + " labels");
  }
  std::vector<std::string> ranked;
  ranked.reserve(order.size());
  for (const std::int32_t item : order) ranked.push_back(labels[static_cast<std::size_t>(item)]);
  return ranked;
}

std::string ranked_matrix_note(const std::string& matrix_path) {
  const std::size_t slash = matrix_path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : matrix_path.substr(0, slash + 1);
  if (matrix_path.substr(folder.size()) != matrix_file_name) return "";
  return "the labels name the items in file order; if " + printable_name(matrix_path) + " is in rank order, --order " +
         printable_name(folder + order_file_name) + " names them after the ranked items";
}

}  // namespace tornavel
