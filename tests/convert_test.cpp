// tornavel-convert end to end: round trips, the worked example from text, every refusal once, and
// files written and read by NumPy and SciPy where the machine has them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/expected_files.h"
#include "tests/random_matrices.h"
#include "tests/scratch_dir.h"

namespace {

using testing_support::bytes;
using testing_support::outcome;
using testing_support::read_bytes;
using testing_support::scratch_dir;
using testing_support::words;
using testing_support::write_bytes;

outcome convert(const scratch_dir& dir, const std::string& args, const std::string& prefix = "") {
  return testing_support::run_in(dir, TORNAVEL_CONVERT_BINARY, args, prefix);
}

void write_text(const scratch_dir& dir, const std::string& name, const std::string& text) {
  write_bytes(dir.file(name), bytes(text.begin(), text.end()));
}

std::string read_text(const scratch_dir& dir, const std::string& name) {
  const bytes b = read_bytes(dir.file(name));
  return std::string(b.begin(), b.end());
}

const bytes worked = words({3, 3, 2, 0, 1, 2, 3, 0, 0, 0, 1});

TEST(Convert, EveryFormatRoundTrips) {
  for (const bytes& input :
       {worked, testing_support::files_for(
                    testing_support::random_matrix(testing_support::shape::heavy_tailed, 3, 40))
                    .input,
        words({0, 0})}) {
    for (const char* format : {"csv", "tsv", "mtx", "npy"}) {
      scratch_dir dir;
      write_bytes(dir.file("in.frq"), input);
      const std::string middle = std::string("m.") + format;
      ASSERT_EQ(convert(dir, "in.frq " + middle).status, 0) << format;
      ASSERT_EQ(convert(dir, middle + " out.frq").status, 0) << format;
      EXPECT_EQ(read_bytes(dir.file("out.frq")), input) << format;
    }
  }
}

TEST(Convert, LabelledTablesAndPairs) {
  scratch_dir dir;
  // The worked example with a label row and column, one label quoted as RFC 4180 has it.
  write_text(dir, "w.csv", ",a,\"b, \"\"the second\"\"\",c\na,2,0,1\n\"b, \"\"the second\"\"\",2,3,0\n"
                           "c,0,0,1\n");
  ASSERT_EQ(convert(dir, "--labels w.labels w.csv w.frq").status, 0);
  EXPECT_EQ(read_bytes(dir.file("w.frq")), worked);
  EXPECT_EQ(read_text(dir, "w.labels"), "a\nb, \"the second\"\nc\n");
  // Labels back into a TSV, and the CSV written with them reads as the same matrix.
  ASSERT_EQ(convert(dir, "--labels w.labels w.frq w.tsv").status, 0);
  EXPECT_EQ(read_text(dir, "w.tsv"), "\ta\tb, \"the second\"\tc\na\t2\t0\t1\nb, \"the second\"\t2\t3\t0\nc\t0\t0\t1\n");
  ASSERT_EQ(convert(dir, "--labels w.labels w.frq w2.csv").status, 0);
  ASSERT_EQ(convert(dir, "w2.csv w2.frq").status, 0);
  EXPECT_EQ(read_bytes(dir.file("w2.frq")), worked);
  // A label row alone, without a corner.
  write_text(dir, "h.csv", "a,b,c\n2,0,1\n2,3,0\n0,0,1\n");
  ASSERT_EQ(convert(dir, "--labels h.labels h.csv h.frq").status, 0);
  EXPECT_EQ(read_bytes(dir.file("h.frq")), worked);
  EXPECT_EQ(read_text(dir, "h.labels"), "a\nb\nc\n");
  // Pairs: items by first appearance, a missing count is 1, repeats add up.
  write_text(dir, "p.pairs", "a a 2\nb a\nb a\nb b 3\na c\nc c\n");
  ASSERT_EQ(convert(dir, "--labels p.labels p.pairs p.frq").status, 0);
  EXPECT_EQ(read_bytes(dir.file("p.frq")), worked);
  EXPECT_EQ(read_text(dir, "p.labels"), "a\nb\nc\n");
  // Standard input and output, with the formats named.
  const outcome piped = convert(dir, "--from pairs --to mtx - -", "cat p.pairs |");
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.out, "%%MatrixMarket matrix coordinate integer general\n3 3 5\n1 1 2\n1 3 1\n"
                       "2 1 2\n2 2 3\n3 3 1\n");
}

TEST(Convert, RefusalsWriteNothing) {
  struct refusal {
    std::string name, text, message;
  };
  const std::vector<refusal> refusals = {
      {"a.csv", "1,2\n3,-4\n", "a.csv: line 2: cell 2: negative value -4"},
      {"a.csv", "1,2\n3,4.5\n", "a.csv: line 2: cell 2: fractional value 4.5"},
      {"a.csv", "1,2\n3,2147483648\n", "a.csv: line 2: cell 2: value 2147483648 beyond 2^31 - 1"},
      {"a.tsv", "1\t2\n3\tfour\n", "a.tsv: line 2: cell 2: not a number: four"},
      {"a.csv", "1,2\n3\n", "a.csv: line 2: 1 cells where the first row has 2"},
      {"a.csv", "1,2\n3,4\n5,6\n", "a.csv: line 3: matrix is not square (3 rows, 2 columns)"},
      {"a.mtx", "%%MatrixMarket matrix coordinate integer general\n2 2 1\n3 1 5\n",
       "a.mtx: line 3: entry (3, 1) lies outside the declared 2 x 2"},
      {"a.mtx", "%%MatrixMarket matrix coordinate integer general\n2 2 2\n1 1 5\n",
       "a.mtx: 1 entries where the header says 2"},
      {"a.mtx", "%%MatrixMarket matrix coordinate integer general\n2 2 2\n1 1 2147483647\n1 1 1\n",
       "a.mtx: repeated entries at (1, 1) add up beyond 2^31 - 1"},
      {"a.mtx", "%%MatrixMarket matrix coordinate integer skew-symmetric\n2 2 1\n2 1 3\n",
       "a.mtx: line 3: cell 3: a skew-symmetric matrix with a non-zero entry has negative counts"},
      {"a.mtx", "%%MatrixMarket matrix array complex general\n1 1\n1 0\n",
       "a.mtx: line 1: complex values are not counts"},
      {"a.txt", "1\n", "a.txt: unknown extension (name the format with --from: frq, csv, tsv, "
                       "mtx, npy or pairs)"},
  };
  for (const refusal& r : refusals) {
    scratch_dir dir;
    write_text(dir, r.name, r.text);
    const outcome out = convert(dir, r.name + " out.frq");
    EXPECT_EQ(out.status, 1) << r.name << ": " << r.text;
    EXPECT_EQ(out.errors, "tornavel-convert: " + r.message + "\n");
    EXPECT_EQ(dir.names(), (std::vector<std::string>{r.name}));
  }
  scratch_dir dir;
  EXPECT_EQ(convert(dir, "- out.frq").status, 2);  // standard input needs --from
}

TEST(Convert, NumPyAndSciPyReadAndWriteThem) {
  scratch_dir dir;
  if (testing_support::run_script(dir, "/usr/bin/python3 -c 'import numpy, scipy'").status != 0) {
    GTEST_SKIP() << "python3-numpy and python3-scipy are not installed";
  }
  const std::string script = R"(
import numpy as np, scipy.io, scipy.sparse as sp
a = np.array([[2, 0, 1], [2, 3, 0], [0, 0, 1]])
np.save('big_endian.npy', a.astype('>i8'))
np.save('floats.npy', a.astype('float32'))
np.save('fortran.npy', np.asfortranarray(a.astype('u2')))
scipy.io.mmwrite('sparse.mtx', sp.coo_matrix(a))
scipy.io.mmwrite('symmetric.mtx', sp.coo_matrix(a + a.T))
scipy.io.mmwrite('dense.mtx', a + a.T)
)";
  write_text(dir, "make.py", script);
  ASSERT_EQ(testing_support::run_script(dir, "/usr/bin/python3 make.py").status, 0);
  const bytes symmetric = words({3, 3, 4, 2, 1, 2, 6, 0, 1, 0, 2});
  for (const auto& [name, expected] :
       std::vector<std::pair<std::string, bytes>>{{"big_endian.npy", worked},
                                                  {"floats.npy", worked},
                                                  {"fortran.npy", worked},
                                                  {"sparse.mtx", worked},
                                                  {"symmetric.mtx", symmetric},
                                                  {"dense.mtx", symmetric}}) {
    ASSERT_EQ(convert(dir, name + " " + name + ".frq").status, 0) << name;
    EXPECT_EQ(read_bytes(dir.file(name + ".frq")), expected) << name;
  }
  write_bytes(dir.file("w.frq"), worked);
  ASSERT_EQ(convert(dir, "w.frq w.npy").status, 0);
  ASSERT_EQ(convert(dir, "w.frq w.mtx").status, 0);
  const outcome read = testing_support::run_script(
      dir, "/usr/bin/python3 -c \"import numpy as np, scipy.io; a = np.load('w.npy'); "
           "print(a.dtype, a.tolist(), scipy.io.mmread('w.mtx').toarray().tolist())\"");
  EXPECT_EQ(read.out, "int32 [[2, 0, 1], [2, 3, 0], [0, 0, 1]] [[2, 0, 1], [2, 3, 0], [0, 0, 1]]\n");
}

}  // namespace
