// tornavel-convert end to end: round trips, the worked example from text, every refusal once, and
// files written and read by NumPy and SciPy where the machine has them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <string>
#include <vector>

#include "tests/expected_files.h"
#include "tests/random_matrices.h"
#include "tests/scratch_dir.h"
#include "tests/support.h"

namespace {

using testing_support::bytes;
using testing_support::run_convert;
using testing_support::worked_input;
using testing_support::outcome;
using testing_support::read_bytes;
using testing_support::scratch_dir;
using testing_support::words;
using testing_support::write_bytes;


void write_text(const scratch_dir& dir, const std::string& name, const std::string& text) {
  write_bytes(dir.file(name), bytes(text.begin(), text.end()));
}

std::string read_text(const scratch_dir& dir, const std::string& name) {
  const bytes b = read_bytes(dir.file(name));
  return std::string(b.begin(), b.end());
}


TEST(Convert, EveryFormatRoundTrips) {
  for (const bytes& input :
       {worked_input, testing_support::files_for(
                    testing_support::random_matrix(testing_support::shape::heavy_tailed, 3, 40))
                    .input,
        words({0, 0})}) {
    for (const char* format : {"csv", "tsv", "mtx", "npy"}) {
      scratch_dir dir;
      write_bytes(dir.file("in.frq"), input);
      const std::string middle = std::string("m.") + format;
      ASSERT_EQ(run_convert(dir, "in.frq " + middle).status, 0) << format;
      ASSERT_EQ(run_convert(dir, middle + " out.frq").status, 0) << format;
      EXPECT_EQ(read_bytes(dir.file("out.frq")), input) << format;
    }
  }
}

TEST(Convert, LabelledTablesAndPairs) {
  scratch_dir dir;
  // The worked_input example with a label row and column, one label quoted as RFC 4180 has it.
  write_text(dir, "w.csv", ",a,\"b, \"\"the second\"\"\",c\na,2,0,1\n\"b, \"\"the second\"\"\",2,3,0\n"
                           "c,0,0,1\n");
  ASSERT_EQ(run_convert(dir, "--labels w.labels w.csv w.frq").status, 0);
  EXPECT_EQ(read_bytes(dir.file("w.frq")), worked_input);
  EXPECT_EQ(read_text(dir, "w.labels"), "a\nb, \"the second\"\nc\n");
  // Labels back into a TSV, and the CSV written with them reads as the same matrix.
  ASSERT_EQ(run_convert(dir, "--labels w.labels w.frq w.tsv").status, 0);
  EXPECT_EQ(read_text(dir, "w.tsv"), "\ta\tb, \"the second\"\tc\na\t2\t0\t1\nb, \"the second\"\t2\t3\t0\nc\t0\t0\t1\n");
  ASSERT_EQ(run_convert(dir, "--labels w.labels w.frq w2.csv").status, 0);
  ASSERT_EQ(run_convert(dir, "w2.csv w2.frq").status, 0);
  EXPECT_EQ(read_bytes(dir.file("w2.frq")), worked_input);
  // A label that starts with a quote is quoted, or a reader would take the quote for its own.
  write_text(dir, "q.labels", "a\n\"b\" begins with a quote\nc\n");
  ASSERT_EQ(run_convert(dir, "--labels q.labels w.frq q.csv").status, 0);
  ASSERT_EQ(run_convert(dir, "--labels q2.labels q.csv q.frq").status, 0);
  EXPECT_EQ(read_text(dir, "q2.labels"), read_text(dir, "q.labels"));
  // A label row alone, without a corner.
  write_text(dir, "h.csv", "a,b,c\n2,0,1\n2,3,0\n0,0,1\n");
  ASSERT_EQ(run_convert(dir, "--labels h.labels h.csv h.frq").status, 0);
  EXPECT_EQ(read_bytes(dir.file("h.frq")), worked_input);
  EXPECT_EQ(read_text(dir, "h.labels"), "a\nb\nc\n");
  // Pairs: items by first appearance, a missing count is 1, repeats add up.
  write_text(dir, "p.pairs", "a a 2\nb a\nb a\nb b 3\na c\nc c\n");
  ASSERT_EQ(run_convert(dir, "--labels p.labels p.pairs p.frq").status, 0);
  EXPECT_EQ(read_bytes(dir.file("p.frq")), worked_input);
  EXPECT_EQ(read_text(dir, "p.labels"), "a\nb\nc\n");
  // Standard input and output, with the formats named.
  const outcome piped = run_convert(dir, "--from pairs --to mtx - -", "cat p.pairs |");
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.out, "%%MatrixMarket matrix coordinate integer general\n3 3 5\n1 1 2\n1 3 1\n"
                       "2 1 2\n2 2 3\n3 3 1\n");
}

// What follows a table's "matrix is not square".
const std::string layout_hint = " (--header and --index, yes or no, say which of the first row and column are labels)";

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
      {"a.csv", "1,2\n3,4\n5,6\n7,8\n", "a.csv: line 4: matrix is not square (4 rows, 2 columns)" + layout_hint},
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
      // Lines are counted alike whatever ends them: LF, CRLF, or CR alone.
      {"a.csv", "1,2\r\n3,4\r\n5,x\r\n", "a.csv: line 3: cell 2: not a number: x"},
      {"a.csv", "1,2\r3,4\r5,x\r", "a.csv: line 3: cell 2: not a number: x"},
      {"a.pairs", "a b\r\nb a\r\na b -1\r\n", "a.pairs: line 3: cell 3: negative value -1"},
      {"a.mtx", "%%MatrixMarket matrix coordinate integer general\r\n2 2 1\r\n1 x 5\r\n",
       "a.mtx: line 3: cell 2: a column index is not a whole number: x"},
      // A count-matrix file's counts are checked as the tool checks them.
      {"a.frq", std::string("\2\0\0\0\2\0\0\0\1\0\0\0\xfc\xff\xff\xff\0\0\0\0\0\0\0\0", 24),
       "a.frq: negative count -4 at row 0, column 1"},
  };
  for (const refusal& r : refusals) {
    scratch_dir dir;
    write_text(dir, r.name, r.text);
    const outcome out = run_convert(dir, r.name + " out.frq");
    EXPECT_EQ(out.status, 1) << r.name << ": " << r.text;
    EXPECT_EQ(out.errors, "tornavel-convert: " + r.message + "\n");
    EXPECT_EQ(dir.names(), (std::vector<std::string>{r.name}));
  }
  scratch_dir dir;
  EXPECT_EQ(run_convert(dir, "- out.frq").status, 2);  // standard input needs --from
}

TEST(Convert, OptionsThatWouldLoseDataAreRefusedAndLeaveNothing) {
  // Labels written over the input or the output, or beside another folder's output (they could
  // not be published with it), or to standard output beside the matrix: refused before anything
  // is written. A byte-order mark before a first count is no label.
  scratch_dir dir;
  write_text(dir, "in.csv", "a,b\n1,2\n3,4\n");
  write_text(dir, "bom.csv", "\xef\xbb\xbf" "1,2\n3,4\n");
  std::filesystem::create_directory(dir.file("sub"));
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"in.csv out.frq --labels in.csv", "--labels may name neither IN nor OUT"},
      {"in.csv out.frq --labels out.frq", "--labels may name neither IN nor OUT"},
      {"in.csv out.frq --labels ./in.csv", "--labels may name neither IN nor OUT"},
      {"in.csv sub/out.frq --labels names", "--labels must be in OUT's folder, so that both are published together"},
      {"in.csv - --to frq --labels -", "--labels - and OUT - would share standard output"},
  };
  for (const auto& [args, says] : refused) {
    const outcome o = run_convert(dir, args);
    EXPECT_EQ(o.status, 2) << args;
    EXPECT_EQ(o.errors.substr(0, o.errors.find('\n')), "tornavel-convert: " + says) << args;
  }
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"bom.csv", "in.csv", "sub"}));
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("sub")));
  EXPECT_EQ(read_text(dir, "in.csv"), "a,b\n1,2\n3,4\n");
  EXPECT_EQ(run_convert(dir, "bom.csv - --to csv").out, "1,2\n3,4\n");
}

TEST(Convert, WhatNumPySciPyAndPandasWriteReadsAsTheyReadIt) {
  // Python writes each file with the library that makes it, beside what that library reads
  // back from it (NAME.want, as .frq bytes) or what the converter must say (NAME.refuse).
  scratch_dir dir;
  if (testing_support::run_script(dir, "/usr/bin/python3 -c 'import numpy, scipy, pandas'").status != 0) {
    GTEST_SKIP() << "python3-numpy, python3-scipy and python3-pandas are not installed";
  }
  const std::string script = R"(
import csv, gzip, io, numpy as np, pandas as pd, scipy.io, scipy.sparse as sp
a = np.array([[2, 0, 1], [2, 3, 0], [0, 0, 1]])
def want(name, m):
    m = np.asarray(m)
    np.concatenate([[m.shape[1], m.shape[0]], m.ravel()]).astype('<i4').tofile(name + '.want')
def refuse(name, text):
    open(name + '.refuse', 'w').write(text)
def npy(name, m, version=None):
    with open(name, 'wb') as f:
        np.lib.format.write_array(f, m, version=version)
def raw_npy(name, header, data=b'', version=b'\x01\x00'):
    h = header + ' ' * (63 - (10 + len(header)) % 64) + '\n'
    open(name, 'wb').write(b'\x93NUMPY' + version + len(h).to_bytes(2, 'little') + h.encode() + data)
for t in ['i1', 'i2', 'i4', 'i8', 'u1', 'u2', 'u4', 'u8', 'f4', 'f8']:
    for order in '<>':
        npy(f'{order}{t}.npy'.replace('<', 'le-').replace('>', 'be-'), a.astype(order + t)); want(f'{order}{t}.npy'.replace('<', 'le-').replace('>', 'be-'), a)
npy('bool.npy', a > 0); want('bool.npy', (a > 0).astype(int))
npy('fortran.npy', np.asfortranarray(a.astype('u2'))); want('fortran.npy', a)
npy('v2.npy', a, (2, 0)); want('v2.npy', a)
npy('v3.npy', a, (3, 0)); want('v3.npy', a)
npy('limit.npy', np.array([[2**31 - 1]], 'f8')); want('limit.npy', [[2**31 - 1]])
# Every integer type at both ends of its range, and just past the largest count where it can be.
for t in ['i1', 'i2', 'i4', 'i8', 'u1', 'u2', 'u4', 'u8']:
    top, least = min(np.iinfo(t).max, 2**31 - 1), np.iinfo(t).min
    npy(f'top-{t}.npy', np.array([[top, 0], [1, top]], '>' + t)); want(f'top-{t}.npy', [[top, 0], [1, top]])
    if least < 0:
        npy(f'least-{t}.npy', np.array([[1, least], [0, 0]], t)); refuse(f'least-{t}.npy', f'element (0, 1): negative value {least}')
    if np.iinfo(t).max > 2**31 - 1:
        npy(f'past-{t}.npy', np.array([[2**31]], t)); refuse(f'past-{t}.npy', 'element (0, 0): value 2147483648 beyond 2^31 - 1')
npy('u8-top.npy', np.array([[2**64 - 1]], 'u8')); refuse('u8-top.npy', 'element (0, 0): value 18446744073709551615 beyond')
npy('f32-limit.npy', np.array([[np.float32(2**31 - 1)]])); refuse('f32-limit.npy', 'element (0, 0): value 2147483648 beyond 2^31 - 1')
npy('nan.npy', np.array([[np.nan]])); refuse('nan.npy', 'element (0, 0): not a number: nan')
npy('half.npy', np.array([[0.5]])); refuse('half.npy', 'element (0, 0): fractional value 0.5')
npy('neg.npy', np.array([[-1]], 'i2')); refuse('neg.npy', 'element (0, 0): negative value -1')
npy('oblong.npy', np.zeros((2, 3), 'i4')); refuse('oblong.npy', 'matrix is not square (2 rows, 3 columns)')
raw_npy('shape-1.npy', "{'descr': '<i4', 'fortran_order': False, 'shape': (-1, -1), }"); refuse('shape-1.npy', 'the .npy header is not one NumPy writes')
raw_npy('extra.npy', "{'descr': '<i4', 'fortran_order': False, 'shape': (1, 1), 'x': 1, }", b'\1\0\0\0'); refuse('extra.npy', 'not one NumPy writes')
raw_npy('fo0.npy', "{'descr': '<i4', 'fortran_order': 0, 'shape': (1, 1), }", b'\1\0\0\0'); refuse('fo0.npy', 'not one NumPy writes')
raw_npy('v11.npy', "{'descr': '<i4', 'fortran_order': False, 'shape': (1, 1), }", b'\1\0\0\0', b'\x01\x01'); refuse('v11.npy', 'version 1.1 is not')
raw_npy('bool2.npy', "{'descr': '|b1', 'fortran_order': False, 'shape': (1, 1), }", b'\2'); want('bool2.npy', [[1]])
open('hugeheader.npy', 'wb').write(b'\x93NUMPY\x02\x00\xff\xff\xff\xff'); refuse('hugeheader.npy', 'is more than the file holds')
f = pd.DataFrame(a)
f.to_csv('pd-default.csv'); want('pd-default.csv', a)
f.to_csv('pd-no-index.csv', index=False); want('pd-no-index.csv', a)
f.to_csv('pd-no-header.csv', header=False); want('pd-no-header.csv', a)
f.to_csv('pd-bare.csv', index=False, header=False); want('pd-bare.csv', a)
f.to_csv('pd-tabs.tsv', sep='\t'); want('pd-tabs.tsv', a)
g = pd.DataFrame(a, index=['x', 'y z', 'w,v'], columns=['x', 'y z', 'w,v'])
g.to_csv('pd-labels.csv', encoding='utf-8-sig'); want('pd-labels.csv', a)
pd.DataFrame(a, index=[1, 2, 3], columns=[1, 2, 3]).to_csv('pd-numbers.csv'); want('pd-numbers.csv', a)
for name, end in [('cr.csv', '\r'), ('crlf.csv', '\r\n'), ('lf.csv', '\n')]:
    with open(name, 'w', newline='') as out:
        csv.writer(out, lineterminator=end, quoting=csv.QUOTE_NONNUMERIC if end == '\r' else csv.QUOTE_MINIMAL).writerows(a.tolist())
    want(name, a)
scipy.io.mmwrite('dense.mtx', a + a.T); want('dense.mtx', a + a.T)
scipy.io.mmwrite('sparse.mtx', sp.coo_matrix(a)); want('sparse.mtx', a)
scipy.io.mmwrite('symmetric.mtx', sp.coo_matrix(a + a.T)); want('symmetric.mtx', a + a.T)
scipy.io.mmwrite('pattern.mtx', sp.coo_matrix(a), field='pattern'); want('pattern.mtx', (a > 0).astype(int))
scipy.io.mmwrite('real.mtx', sp.coo_matrix(a.astype(float))); want('real.mtx', a)
with open('sparse.mtx', 'rb') as i, gzip.open('sparse.mtx.gz', 'wb') as o: o.write(i.read())
want('sparse.mtx.gz', a)
open('skew.mtx', 'w').write('%%MatrixMarket matrix coordinate integer skew-symmetric\n2 2 0\n'); want('skew.mtx', np.zeros((2, 2)))
open('frac.csv', 'w').write('1,2.5\n3,4\n5,6\n'); refuse('frac.csv', 'line 1: cell 2: fractional value 2.5')
open('tiny.csv', 'w').write('1,1e-400\n3,4\n'); refuse('tiny.csv', 'line 1: cell 2: fractional value 1e-400')
open('hex.tsv', 'w').write('1\t2\t0x10\n1\t1\t1\n1\t1\t1\n'); refuse('hex.tsv', 'line 1: cell 3: not a number: 0x10')
open('long.csv', 'w').write('1,4200000000000000000000e-20\n0,0\n'); want('long.csv', [[1, 42], [0, 0]])
open('escape.csv', 'w').write('1,1\n1,\x1b[2J\n'); refuse('escape.csv', "line 2: cell 2: not a number: '\\x1b[2J'")
open('newline.csv', 'w').write(',"a\nb"\n"a\nb",1\n'); refuse('newline.csv', 'line 1: cell 2: a quoted cell holds a line break')
)";
  write_text(dir, "make.py", script);
  const outcome made = testing_support::run_script(dir, "/usr/bin/python3 make.py");
  ASSERT_EQ(made.status, 0) << made.errors;
  std::size_t cases = 0;
  for (const std::string& name : dir.names()) {
    const std::size_t dot = name.rfind('.');
    const std::string kind = name.substr(dot + 1), input = name.substr(0, dot);
    if (kind != "want" && kind != "refuse") continue;
    ++cases;
    const outcome out = run_convert(dir, input + " out.frq");
    if (kind == "want") {
      EXPECT_EQ(out.status, 0) << input << ": " << out.errors;
      if (out.status == 0) {
        EXPECT_EQ(read_bytes(dir.file("out.frq")), read_bytes(dir.file(name))) << input;
      }
    } else {
      EXPECT_EQ(out.status, 1) << input;
      EXPECT_NE(out.errors.find(read_text(dir, name)), std::string::npos) << input << ": " << out.errors;
    }
    std::remove(dir.file("out.frq").c_str());
  }
  EXPECT_GT(cases, 50u);

  // And what the converter writes, as those libraries read it.
  write_bytes(dir.file("w.frq"), worked_input);
  write_text(dir, "w.labels", "a\nb c\nd,e\n");
  for (const char* out : {"w.npy", "w.mtx", "w.tsv"}) ASSERT_EQ(run_convert(dir, "w.frq " + std::string(out)).status, 0);
  ASSERT_EQ(run_convert(dir, "--labels w.labels w.frq w.csv").status, 0);
  const outcome read = testing_support::run_script(
      dir, "/usr/bin/python3 -c \"import numpy as np, pandas as pd, scipy.io; "
           "print(np.load('w.npy').tolist(), scipy.io.mmread('w.mtx').toarray().astype(int).tolist(), "
           "pd.read_csv('w.tsv', sep='\\t', header=None).values.tolist(), "
           "pd.read_csv('w.csv', index_col=0).to_dict('split'))\"");
  EXPECT_EQ(read.out,
            "[[2, 0, 1], [2, 3, 0], [0, 0, 1]] [[2, 0, 1], [2, 3, 0], [0, 0, 1]] "
            "[[2, 0, 1], [2, 3, 0], [0, 0, 1]] {'index': ['a', 'b c', 'd,e'], 'columns': ['a', "
            "'b c', 'd,e'], 'data': [[2, 0, 1], [2, 3, 0], [0, 0, 1]]}\n")
      << read.errors;
}

TEST(Convert, OutputsLabelsAndMemory) {
  scratch_dir dir;
  write_bytes(dir.file("w.frq"), worked_input);
  write_text(dir, "w.labels", "a\nb\nc\n");
  write_text(dir, "w.csv", ",a,b,c\na,2,0,1\nb,2,3,0\nc,0,0,1\n");
  // --labels names neither input nor output; - is standard output.
  EXPECT_EQ(run_convert(dir, "--labels w.csv w.csv x.frq").status, 2);
  EXPECT_EQ(run_convert(dir, "--labels x.frq w.csv x.frq").status, 2);
  const outcome to_stdout = run_convert(dir, "--labels - w.csv x.frq");
  EXPECT_EQ(to_stdout.out, "a\nb\nc\n");
  // --order ranks labels given in the items' own order, as the matrix was ranked.
  write_bytes(dir.file("o.ord"), words({2, 0, 1}));
  EXPECT_EQ(run_convert(dir, "--order o.ord --labels w.labels w.frq - --to csv").out,
            ",c,a,b\nc,2,0,1\na,2,3,0\nb,0,0,1\n");
  // Labels in file order for a matrix named as the tool's ranked one: a note says how to rank
  // them; none for any other name, or with the order file.
  std::filesystem::create_directory(dir.file("run"));
  write_bytes(dir.file("run/tornavel.frq"), worked_input);
  EXPECT_EQ(run_convert(dir, "--labels w.labels run/tornavel.frq x.csv").errors,
            "tornavel-convert: note: the labels name the items in file order; if run/tornavel.frq is in rank "
            "order, --order run/tornavel.ord names them after the ranked items\n");
  EXPECT_EQ(run_convert(dir, "--labels w.labels w.frq x.csv").errors, "");
  EXPECT_EQ(run_convert(dir, "--labels w.labels --order o.ord run/tornavel.frq x.csv").errors, "");
  // Devices are written through, never replaced, named or behind a link; a symbolic link to a
  // file, or to nothing, is replaced, as the tool replaces its outputs, and what it pointed to
  // is left as it was.
  EXPECT_EQ(run_convert(dir, "w.frq /dev/full --to csv").errors, "tornavel-convert: /dev/full: No space left on device\n");
  ASSERT_EQ(symlink("/dev/full", dir.file("full.csv").c_str()), 0);
  EXPECT_EQ(run_convert(dir, "w.frq full.csv").errors, "tornavel-convert: full.csv: No space left on device\n");
  struct stat device;
  ASSERT_EQ(stat("/dev/full", &device), 0);
  EXPECT_TRUE(S_ISCHR(device.st_mode));
  write_text(dir, "target.csv", "precious\n");
  for (const char* target : {"target.csv", "nowhere.csv"}) {
    std::filesystem::remove(dir.file("link.csv"));
    ASSERT_EQ(symlink(target, dir.file("link.csv").c_str()), 0);
    ASSERT_EQ(run_convert(dir, "w.frq link.csv").status, 0);
    EXPECT_EQ(read_text(dir, "link.csv"), "2,0,1\n2,3,0\n0,0,1\n");
    struct stat link;
    ASSERT_EQ(lstat(dir.file("link.csv").c_str(), &link), 0);
    EXPECT_TRUE(S_ISREG(link.st_mode)) << target;
  }
  EXPECT_EQ(read_text(dir, "target.csv"), "precious\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("nowhere.csv")));
  // A declared square of 42000 items with one count: a few MiB, and a file that is mostly hole.
  write_text(dir, "big.mtx", "%%MatrixMarket matrix coordinate integer general\n42000 42000 1\n7 7 5\n");
  const outcome big = run_convert(dir, "big.mtx big.frq; cat .peak >&2", "/usr/bin/time -f %M -o .peak");
  ASSERT_EQ(big.status, 0);
  EXPECT_LT(std::stol(big.errors), 64 * 1024) << "peak KiB";
  struct stat frq;
  ASSERT_EQ(stat(dir.file("big.frq").c_str(), &frq), 0);
  EXPECT_EQ(frq.st_size, 8 + 4 * std::int64_t{42000} * 42000);
  EXPECT_LT(frq.st_blocks * 512, std::int64_t{1} << 20);
}

}  // namespace

namespace {

// The peak memory in KiB that a converter run reports through GNU time, after its own errors.
long peak_kib(const outcome& o) {
  const std::size_t last = o.errors.rfind('\n', o.errors.size() - 2);
  return std::stol(o.errors.substr(last == std::string::npos ? 0 : last + 1));
}

TEST(Convert, DeclaredSizesAreCheckedBeforeAnythingIsMadeOfThem) {
  // Tiny inputs that declare huge matrices: a gzipped .frq header of 2^31 - 1 items, plain and
  // piped, and a .npy shape, each refused when its data runs out, in the memory of what came;
  // Matrix Market sides no file of counts can hold, refused as such, at the first side that
  // cannot and not the last that can (which, to a sparse output, converts in little memory).
  // Under the sanitizers these sizes run through every size computation.
  scratch_dir dir;
  ASSERT_EQ(testing_support::run_script(
                dir, "printf '\\377\\377\\377\\177\\377\\377\\377\\177' | gzip > hdr.frq.gz && "
                     "printf '\\223NUMPY\\001\\000v\\000{\\047descr\\047: \\047<i4\\047, \\047fortran_order\\047: False, "
                     "\\047shape\\047: (2000000000, 2000000000), }' > big.npy && "
                     "printf '%-53s\\n' '' | tr -d '\\n' >> big.npy && printf '\\n\\001\\000\\000\\000' >> big.npy")
                .status, 0);
  const std::string measured = "/usr/bin/time -f %M -o .peak";
  testing_support::run_script(dir, "zcat hdr.frq.gz > hdr.frq.gz.plain");
  for (const auto& [args, says] : std::vector<std::pair<std::string, std::string>>{
           {"hdr.frq.gz out.csv", "file is shorter than its header says"},
           {"--from frq - out.csv < hdr.frq.gz.plain", "file is shorter than its header says"},
           {"hdr.frq.gz out.frq", "more counts than any file can hold"},
           {"big.npy out.csv", "file is shorter than its shape says"}}) {
    const outcome o = run_convert(dir, args + "; cat .peak >&2", measured);
    EXPECT_NE(o.errors.find(says), std::string::npos) << args << ": " << o.errors;
    EXPECT_LT(peak_kib(o), 64 * 1024) << args;
  }
  const std::vector<std::pair<std::int64_t, const char*>> sides = {
      {2147483647, "more counts than any file can hold"}, {1518500250, "more counts than any file can hold"}};
  for (const auto& [side, says] : sides) {
    write_text(dir, "side.mtx", "%%MatrixMarket matrix coordinate integer general\n" + std::to_string(side) + " " +
                                    std::to_string(side) + " 1\n1 1 5\n");
    for (const char* out : {"side.frq", "side.npy"}) {
      const outcome o = run_convert(dir, std::string("side.mtx ") + out);
      EXPECT_EQ(o.status, 1) << side << " " << out;  // refused at once, before a row is made
      EXPECT_NE(o.errors.find(says), std::string::npos) << side << " " << out << ": " << o.errors;
    }
  }
  write_text(dir, "side.mtx", "%%MatrixMarket matrix coordinate integer general\n1518500249 1518500249 1\n1 1 5\n");
  const outcome sparse = run_convert(dir, "side.mtx again.mtx; cat .peak >&2", measured);
  EXPECT_EQ(sparse.status, 0) << sparse.errors;
  EXPECT_LT(peak_kib(sparse), 64 * 1024);
  EXPECT_EQ(read_text(dir, "again.mtx"),
            "%%MatrixMarket matrix coordinate integer general\n1518500249 1518500249 1\n1 1 5\n");
  EXPECT_EQ(dir.names(), (std::vector<std::string>{".peak", "again.mtx", "big.npy", "hdr.frq.gz", "hdr.frq.gz.plain",
                                                   "side.mtx"}));
}

TEST(Convert, GzipDataMustEndAsGzipEndsAndTheInputMustNotChangeWhileItIsRead) {
  // Members one after another read as gzip reads them; bytes after the last that are not a
  // member, and data cut short, are refused. An input rewritten while it is read (same size,
  // time set back) is refused; one whose change time alone moved (a link) is converted.
  scratch_dir dir;
  write_text(dir, "t.csv", "1,2\n3,4\n");
  ASSERT_EQ(testing_support::run_script(dir, "gzip -c t.csv > t.csv.gz && cat t.csv.gz t.csv.gz > two.tsv.gz && "
                                              "{ cat t.csv.gz; printf x; } > trail.csv.gz && head -c 20 t.csv.gz > cut.csv.gz")
                .status, 0);
  EXPECT_EQ(run_convert(dir, "t.csv.gz - --to csv").out, "1,2\n3,4\n");
  EXPECT_EQ(run_convert(dir, "two.tsv.gz - --from csv --to csv").errors,
            "tornavel-convert: two.tsv.gz: line 4: matrix is not square (4 rows, 2 columns)" + layout_hint + "\n");
  EXPECT_EQ(run_convert(dir, "trail.csv.gz - --to csv").errors,
            "tornavel-convert: trail.csv.gz: bytes that are not gzip follow the end of the gzip data (gzip calls them "
            "trailing garbage)\n");
  EXPECT_EQ(run_convert(dir, "cut.csv.gz - --to csv").errors, "tornavel-convert: cut.csv.gz: gzip data ends before its end\n");

  if (testing_support::run_script(dir, "strace -V").status != 0) GTEST_SKIP() << "no strace here";
  // A table, read twice (the second reading must match the first), and pairs, read once (its
  // bytes read again where only the change time moved).
  std::string table, pairs;
  for (int r = 0; r < 300; ++r) {
    for (int k = 0; k < 300; ++k) table += std::to_string((r * k) % 97) + (k + 1 < 300 ? "," : "\n");
  }
  for (int i = 0; i < 20000; ++i) pairs += "x" + std::to_string(i % 300) + " y" + std::to_string(i % 7) + " 3\n";
  for (const auto& [name, big] : std::vector<std::pair<std::string, std::string>>{{"big.csv", table},
                                                                                  {"big.pairs", pairs}}) {
    // The converter stops at its second read of the input (counted from a run that does not).
    write_text(dir, name, big);
    const outcome count = testing_support::run_script(
        dir, "ASAN_OPTIONS=detect_leaks=0 strace -f -qq -e trace=openat,read -o .reads '" TORNAVEL_CONVERT_BINARY "' " +
                 name + " o.frq && awk '/" + name + "/ {f = $0 ~ /= [0-9]/ ? substr($NF, 1) : \"\"} /read\\(/ {n++; if (f != \"\" && $2 ~ \"read\\\\(\" f \",\") "
                 "{ if (++m == 2) { print n; exit } } }' .reads");
    ASSERT_EQ(count.status, 0);
    const std::string second_read = count.out.substr(0, count.out.find('\n'));
    ASSERT_FALSE(second_read.empty()) << count.errors;
    for (const auto& [change, refused] : std::vector<std::pair<std::string, bool>>{
             {"ln " + name + " other && rm other", false},
             {"t=$(stat -c %y " + name + "); printf 9 | dd of=" + name + " bs=1 seek=0 conv=notrunc 2>/dev/null; touch -d \"$t\" " + name,
              true}}) {
      write_text(dir, name, big);
      const outcome o = testing_support::run_script(
          dir, "rm -f .log; ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o .log -e trace=read -e signal=SIGSTOP -e inject=read:signal=STOP:when=" + second_read +
                   " '" TORNAVEL_CONVERT_BINARY "' " + name + " o.frq & s=$!; "
                   "for i in $(seq 3000); do grep -q 'stopped by SIGSTOP' .log 2>/dev/null && break; sleep 0.01; done; " +
                   change + "; kill -CONT $(pgrep -P $s); wait $s");
      EXPECT_EQ(o.status, refused ? 1 : 0) << name << ": " << change << ": " << o.errors;
      if (refused) {
        EXPECT_EQ(o.errors, "tornavel-convert: " + name + ": file changed while it was read\n");
      }
    }
  }
}

}  // namespace

namespace {

TEST(Convert, EveryLayoutPandasWritesReadsBackWithItsLabels) {
  // Every combination of to_csv's index, header, index_label and index.name, for labels of
  // words, of words and numbers, of integer ids and of default positions, comma- and
  // tab-separated, with and without a byte-order mark: each must read as the worked example,
  // with the labels the file holds (column labels first), from a file and from a pipe.
  scratch_dir dir;
  const std::string script = R"(
import itertools, pandas as pd
a = [[2, 0, 1], [2, 3, 0], [0, 0, 1]]
cases = open('cases', 'w')
names = {'words': ['the', 'and', 'of'], 'mixed': ['the', '1', '2001'], 'ids': [1, 2, 3],
         'positions': None, 'text-ids': ['7', '3', '12']}
for n, (kind, labels) in enumerate(names.items()):
    for index, header, label, named, sep, enc in itertools.product(
            [True, False], [True, False], [None, 'item'], [None, 'word'], [',', '\t'], ['utf-8', 'utf-8-sig']):
        if not index and (label or named): continue
        f = pd.DataFrame(a, index=labels, columns=labels)
        if named: f.index.name = named
        name = f"t{n}-{int(index)}{int(header)}{int(bool(label))}{int(bool(named))}-{len(enc)}." + ('csv' if sep == ',' else 'tsv')
        f.to_csv(name, sep=sep, index=index, header=header, index_label=label, encoding=enc)
        given = header or index
        want = [str(x) for x in (labels if labels is not None else range(3))] if given else []
        cases.write(name + '\t' + ' '.join(want) + '\n')
)";
  write_text(dir, "make.py", script);
  ASSERT_EQ(testing_support::run_script(dir, "/usr/bin/python3 make.py").status, 0);
  std::istringstream cases(read_text(dir, "cases"));
  std::string line;
  int checked = 0;
  while (std::getline(cases, line)) {
    const std::string name = line.substr(0, line.find('\t'));
    std::string want = line.substr(line.find('\t') + 1);
    std::replace(want.begin(), want.end(), ' ', '\n');
    if (!want.empty()) want += '\n';
    for (const std::string& how : {name + " out.frq", "--from " + name.substr(name.size() - 3) + " - out.frq < " + name}) {
      const outcome out = run_convert(dir, "--labels out.labels " + how);
      if (want.empty()) {
        EXPECT_NE(out.errors.find("names no items to write to out.labels"), std::string::npos) << how << out.errors;
        EXPECT_EQ(run_convert(dir, how).status, 0) << how;
      } else {
        EXPECT_EQ(out.status, 0) << how << ": " << out.errors;
        EXPECT_EQ(read_text(dir, "out.labels"), want) << how;
      }
      EXPECT_EQ(read_bytes(dir.file("out.frq")), testing_support::worked_input) << how;
      std::filesystem::remove(dir.file("out.frq"));
      std::filesystem::remove(dir.file("out.labels"));
    }
    ++checked;
  }
  EXPECT_GT(checked, 100);
}

TEST(Convert, TheFirstRowAndColumnAreTakenByShapeThenCellsOrAsTold) {
  scratch_dir dir;
  struct table_case {
    std::string text, options, result;  // result: the rows and labels written, or the message
  };
  const std::vector<table_case> cases = {
      // n of n numbers: counts, even where a row and column could be ids.
      {"0,1,2\n1,5,0\n2,0,7\n", "", "0,1,2\n1,5,0\n2,0,7\n"},
      {"0,1,2\n1,5,0\n2,0,7\n", "--header yes --index yes", ",1,2\n1,5,0\n2,0,7\n"},
      // n + 1 records of n numbers: a header, if they could be ids; n of n + 1: an index.
      {"7,3\n1,2\n3,4\n", "", ",7,3\n7,1,2\n3,3,4\n"},
      {"7,7\n1,2\n3,4\n", "", "error: line 3: matrix is not square (3 rows, 2 columns)" + layout_hint},
      {"7,1,2\n3,3,4\n", "", ",7,3\n7,1,2\n3,3,4\n"},
      // An empty corner: both, and the labels must agree.
      {",a,b\nb,1,2\na,3,4\n", "",
       "error: the row labels name the column labels' items in another order: row 1 is b, column 1 is a (a count "
       "matrix names its rows and columns in one order)"},
      {",a,b\na,1,2\nc,3,4\n", "", "error: the row labels and the column labels name different items: row 2's c names no column"},
      {"item,a,b\na,1,2\nb,3,4\n", "", ",a,b\na,1,2\nb,3,4\n"},
      // What is wrong in the first row is reported where it is.
      {"1,\n3,4\n", "", "error: line 1: cell 2: empty cell"},
      {std::string("1,\0\n3,4\n", 8), "", "error: line 1: cell 2: not a number: '\\x00'"},
      {"1,2\"\n3,4\n", "", "error: line 1: cell 2: not a number: 2\""},
      {"1,\xff\n3,4\n", "", "error: line 1: cell 2: not a number: '\\xff'"},
      {"1,0x10\n3,4\n", "", "error: line 1: cell 2: not a number: 0x10"},
      {"1,2\n3,4\n", "--header maybe", "usage"},
      {"1,2\n3,4\n", "--index no --header yes", "error: line 2: matrix is not square (1 rows, 2 columns)" + layout_hint},
  };
  for (const table_case& c : cases) {
    write_text(dir, "t.csv", c.text);
    const outcome out = run_convert(dir, c.options + " t.csv out.csv");
    if (c.result == "usage") {
      EXPECT_EQ(out.status, 2) << c.text;
      EXPECT_NE(out.errors.find("--header: takes yes or no, not maybe"), std::string::npos) << out.errors;
    } else if (c.result.rfind("error: ", 0) == 0) {
      EXPECT_EQ(out.status, 1) << c.text;
      EXPECT_EQ(out.errors, "tornavel-convert: t.csv: " + c.result.substr(7) + "\n") << c.options;
    } else {
      EXPECT_EQ(out.status, 0) << c.text << ": " << out.errors;
      EXPECT_EQ(read_text(dir, "out.csv"), c.result) << c.text << " " << c.options;
    }
    std::filesystem::remove(dir.file("out.csv"));
  }
}

}  // namespace
