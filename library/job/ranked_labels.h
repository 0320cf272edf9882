// Labels of items in file order, and the same labels for a matrix in rank order.
#ifndef TORNAVEL_JOB_RANKED_LABELS_H_
#define TORNAVEL_JOB_RANKED_LABELS_H_

#include <string>
#include <vector>

namespace tornavel {

// labels, one an item in file order, permuted by the order file at order_path, so that they name
// the items of a matrix in rank order (as tornavel.frq is in that of tornavel.ord). Throws
// file_error if the order file cannot be read, is no permutation, or does not have an entry for
// each label.
std::vector<std::string> ranked_labels(const std::vector<std::string>& labels, const std::string& order_path);

// Labels applied to the matrix tornavel writes, which is in rank order, without its order file
// name its items in file order, not rank order: where matrix_path is named as that matrix is
// (tornavel.frq), what to say about it; "" otherwise.
std::string ranked_matrix_note(const std::string& matrix_path);

}  // namespace tornavel

#endif  // TORNAVEL_JOB_RANKED_LABELS_H_
