// Another build of the tool (another optimisation level, another compiler) must write the same
// bytes as this one. Run with TORNAVEL_OTHER_BINARY=/path/to/tornavel; skipped without it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/random_matrices.h"
#include "tests/scratch_dir.h"

namespace {

using testing_support::read_bytes;
using testing_support::scratch_dir;
using testing_support::shape;

void run_on_in(const scratch_dir& dir, const std::string& binary) {
  ASSERT_EQ(testing_support::run_in(dir, binary, "in").status, 0) << binary;
}

TEST(SameBytes, AnotherBuildWritesTheSameOutputs) {
  const char* other = std::getenv("TORNAVEL_OTHER_BINARY");
  if (other == nullptr) GTEST_SKIP() << "TORNAVEL_OTHER_BINARY is not set";
  int compared = 0;
  for (shape s : {shape::uniform, shape::sparse, shape::heavy_tailed, shape::tied_columns,
                  shape::huge_counts, shape::no_rows}) {
    for (std::uint64_t seed = 1; seed <= 5; ++seed) {
      const plain::matrix m = testing_support::random_matrix(s, seed, 9 + 7 * seed);
      std::vector<std::int32_t> file{m.columns, m.rows};
      file.insert(file.end(), m.counts.begin(), m.counts.end());
      scratch_dir mine, theirs;
      testing_support::write_bytes(mine.file("in"), testing_support::words(file));
      testing_support::write_bytes(theirs.file("in"), testing_support::words(file));
      run_on_in(mine, TORNAVEL_BINARY);
      run_on_in(theirs, other);
      for (const char* name : {"tornavel.ord", "tornavel.frq"}) {
        ASSERT_EQ(read_bytes(mine.file(name)), read_bytes(theirs.file(name)))
            << name << " differs for " << testing_support::shape_name(s) << " seed " << seed;
      }
      ++compared;
    }
  }
  EXPECT_EQ(compared, 30);
}

}  // namespace
