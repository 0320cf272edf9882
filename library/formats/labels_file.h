// The labels file of the companions: item names, one a line, in index order.
#ifndef TORNAVEL_FORMATS_LABELS_FILE_H_
#define TORNAVEL_FORMATS_LABELS_FILE_H_

#include <cstddef>
#include <string>
#include <vector>

namespace tornavel {

// Reads the labels file at path (a line ending "\r\n" loses its "\r"). Throws file_error for a
// label holding a tab, which no table could carry.
std::vector<std::string> load_labels(const std::string& path);

// The same, refusing a file that does not name exactly `items` items.
std::vector<std::string> load_labels(const std::string& path, std::size_t items);

}  // namespace tornavel

#endif  // TORNAVEL_FORMATS_LABELS_FILE_H_
