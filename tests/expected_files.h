// What the tool must write for a matrix, as the plain model has it: the bytes of the input file
// and of the two outputs.
#ifndef TORNAVEL_TESTS_EXPECTED_FILES_H_
#define TORNAVEL_TESTS_EXPECTED_FILES_H_

#include <cstdint>
#include <vector>

#include "tests/plain_model.h"
#include "tests/scratch_dir.h"

namespace testing_support {

struct expected_files {
  bytes input, order, matrix;
};

inline expected_files files_for(const plain::matrix& m) {
  const plain::ranking ranked = plain::rank(m);
  std::vector<std::int32_t> input{m.columns, m.rows}, matrix{m.columns, m.rows};
  input.insert(input.end(), m.counts.begin(), m.counts.end());
  const std::vector<std::int32_t> reordered = plain::reorder(m, ranked.order);
  matrix.insert(matrix.end(), reordered.begin(), reordered.end());
  return {words(input), words(ranked.order), words(matrix)};
}

}  // namespace testing_support

#endif  // TORNAVEL_TESTS_EXPECTED_FILES_H_
