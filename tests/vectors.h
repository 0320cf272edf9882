// The library's large vectors (results on huge pages) compare with plain vectors as sequences.
#ifndef TORNAVEL_TESTS_VECTORS_H_
#define TORNAVEL_TESTS_VECTORS_H_

#include <algorithm>
#include <vector>

#include "system/large_memory.h"

namespace tornavel {

template <typename T>
bool operator==(const large_vector<T>& a, const std::vector<T>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace tornavel

#endif  // TORNAVEL_TESTS_VECTORS_H_
