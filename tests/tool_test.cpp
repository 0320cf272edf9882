// End-to-end tests: the built tornavel run in a scratch folder, as a user runs it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <fstream>
#include <numeric>
#include <set>
#include <sstream>

#include "matrix_files/count_matrix_file.h"
#include "ranking/ranking.h"

#include "tests/expected_files.h"
#include "tests/plain_model.h"
#include "tests/random_matrices.h"
#include "tests/scratch_dir.h"
#include "tests/support.h"

namespace {

using testing_support::bytes;
using testing_support::read_bytes;
using testing_support::scratch_dir;
using testing_support::words;
using testing_support::write_bytes;

using testing_support::outcome;

using testing_support::run_tool;
using testing_support::worked_input;


TEST(Tool, WorkedExampleByteForByte) {
  scratch_dir dir;
  write_bytes(dir.file("in.frq"), worked_input);
  const outcome out = run_tool(dir, "in.frq");
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.errors, "");
  EXPECT_EQ(read_bytes(dir.file("tornavel.ord")), words({0, 2, 1}));
  EXPECT_EQ(read_bytes(dir.file("tornavel.frq")), words({3, 3, 2, 1, 0, 0, 1, 0, 2, 0, 3}));
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.frq", "tornavel.frq", "tornavel.ord"}));
}

TEST(Tool, ExtraArgumentsRepeatedRunsAndItsOwnOutputAsInput) {
  scratch_dir dir;
  write_bytes(dir.file("tornavel.ord"), {0xaa});  // replaced, not appended to
  write_bytes(dir.file("in.frq"), worked_input);
  EXPECT_EQ(run_tool(dir, "in.frq extra --ignored").status, 0);
  EXPECT_EQ(read_bytes(dir.file("tornavel.ord")), words({0, 2, 1}));

  // The second example, then a run on the tool's own output, which is read whole first. The
  // output ranks its items in order already, so the order is the identity and the matrix stays.
  write_bytes(dir.file("in.frq"), words({3, 3, 4, 1, 1, 0, 1, 1, 0, 1, 0}));
  EXPECT_EQ(run_tool(dir, "in.frq").status, 0);
  EXPECT_EQ(read_bytes(dir.file("tornavel.ord")), bytes({1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}));
  const bytes reordered = words({3, 3, 1, 1, 0, 1, 0, 0, 1, 1, 4});
  EXPECT_EQ(read_bytes(dir.file("tornavel.frq")), reordered);

  EXPECT_EQ(run_tool(dir, "tornavel.frq").status, 0);
  EXPECT_EQ(read_bytes(dir.file("tornavel.ord")), words({0, 1, 2}));
  EXPECT_EQ(read_bytes(dir.file("tornavel.frq")), reordered);
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.frq", "tornavel.frq", "tornavel.ord"}));
}

TEST(Tool, EmptyShapesAndTrailingBytes) {
  scratch_dir dir;
  write_bytes(dir.file("in"), words({0, 7}));
  EXPECT_EQ(run_tool(dir, "in").status, 0);
  EXPECT_EQ(read_bytes(dir.file("tornavel.ord")), bytes{});
  EXPECT_EQ(read_bytes(dir.file("tornavel.frq")), words({0, 7}));

  write_bytes(dir.file("in"), words({4, 0}));
  EXPECT_EQ(run_tool(dir, "in").status, 0);
  EXPECT_EQ(read_bytes(dir.file("tornavel.ord")), words({0, 1, 2, 3}));
  EXPECT_EQ(read_bytes(dir.file("tornavel.frq")), words({4, 0}));

  bytes tailed = worked_input;
  tailed.insert(tailed.end(), {9, 9, 9, 9, 9});
  write_bytes(dir.file("in"), tailed);
  EXPECT_EQ(run_tool(dir, "in").status, 0);
  EXPECT_EQ(read_bytes(dir.file("tornavel.frq")), words({3, 3, 2, 1, 0, 0, 1, 0, 2, 0, 3}));
}

TEST(Tool, InputFromAPipe) {
  scratch_dir dir;
  write_bytes(dir.file("in.frq"), worked_input);
  EXPECT_EQ(run_tool(dir, "/dev/stdin", "cat in.frq |").status, 0);
  EXPECT_EQ(read_bytes(dir.file("tornavel.frq")), words({3, 3, 2, 1, 0, 0, 1, 0, 2, 0, 3}));

  // Without a length to check against, a header promising 8 GiB is refused when the counts
  // run out, having held no more than what arrived.
  write_bytes(dir.file("in.frq"), words({46404, 46404, 1, 2, 3}));
  const outcome out = run_tool(dir, "/dev/stdin", "cat in.frq |");
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.errors, "tornavel: /dev/stdin: file is shorter than its header says\n");
}

TEST(Tool, OutputsGetTheUsualPermissions) {
  scratch_dir dir;
  write_bytes(dir.file("in"), worked_input);
  ASSERT_EQ(run_tool(dir, "in", "umask 027 &&").status, 0);
  for (const char* name : {"tornavel.ord", "tornavel.frq"}) {
    struct stat status;
    ASSERT_EQ(stat(dir.file(name).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u) << name;
  }
}

// Runs the tool on m in dir and checks both outputs against the plain model.
void expect_outputs_of_model(const scratch_dir& dir, const plain::matrix& m) {
  const testing_support::expected_files expected = testing_support::files_for(m);
  write_bytes(dir.file("in"), expected.input);
  ASSERT_EQ(run_tool(dir, "in").status, 0);
  ASSERT_EQ(read_bytes(dir.file("tornavel.ord")), expected.order);
  ASSERT_EQ(read_bytes(dir.file("tornavel.frq")), expected.matrix);
}

TEST(Tool, MatrixOutputIsTheInputPermutedByTheOrderFile) {
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    scratch_dir dir;
    expect_outputs_of_model(dir, testing_support::random_matrix(testing_support::shape::tied_columns,
                                                                seed, 5 + 3 * seed));
  }
}

TEST(Tool, LargerInputsFromFilesAndPipesAlike) {
  // Several blocks of rows scored and several pieces written from the file; a pipe of more than
  // one read piece, held in memory, gives the same bytes.
  scratch_dir dir;
  expect_outputs_of_model(dir, testing_support::random_matrix(testing_support::shape::heavy_tailed,
                                                              5, 1500));
  const outcome piped = testing_support::run_script(
      dir, "cp tornavel.ord ord && cp tornavel.frq frq && cat in | \"$TORNAVEL\" /dev/stdin && "
           "cmp tornavel.ord ord && cmp tornavel.frq frq");
  EXPECT_EQ(piped.status, 0) << piped.errors;
}

TEST(Tool, MemoryFollowsTheItemsNotTheMatrix) {
  // 256 MiB of counts under a 192 MiB address-space limit: loading them whole would fail. (The
  // sanitizers reserve terabytes of address space up front.)
  if (testing_support::address_sanitizer) {
    GTEST_SKIP() << "address space limits do not work under AddressSanitizer";
  }
  scratch_dir dir;
  const std::int32_t side = 8192;
  std::vector<std::int32_t> identity(side);
  std::iota(identity.begin(), identity.end(), 0);
  write_bytes(dir.file("order"), words(identity));
  const outcome out = testing_support::run_script(
      dir, "printf '\\000\\040\\000\\000\\000\\040\\000\\000' > in && "
           "truncate -s $((8 + 4 * 8192 * 8192)) in && echo 7 | dd of=in bs=1 seek=100000 "
           "conv=notrunc status=none && (ulimit -v 196608 && \"$TORNAVEL\" in) && "
           "cmp tornavel.ord order && cmp tornavel.frq in");
  EXPECT_EQ(out.status, 0) << out.errors;
  // 2^31 - 1 columns and no rows: an order of 8 GiB, written as it goes, so that only the disk
  // (here a file-size limit) can stand in its way.
  write_bytes(dir.file("wide"), words({2147483647, 0}));
  const outcome wide = testing_support::run_in(dir, TORNAVEL_BINARY, "wide",
                                               "ulimit -v 196608 && ulimit -f 20000 &&");
  EXPECT_EQ(wide.errors, "tornavel: tornavel.ord: File too large\n");
}

TEST(Tool, ColumnSumsBeyondTwoToThe33MatchAPlainWalk) {
  // The data were made by tests/data/make_huge_sums.cpp, which walks the running sum from 1 to
  // the largest column sum, about 1.1e10 steps, and shares no code with the tool.
  const std::string data = std::string(TORNAVEL_SOURCE_DIR) + "/tests/data/huge_sums.";
  std::ifstream scores_file(data + "scores");
  std::vector<std::uint32_t> expected_bits;
  std::string hex, value;
  while (scores_file >> hex >> value) expected_bits.push_back(std::stoul(hex, nullptr, 16));
  ASSERT_EQ(expected_bits.size(), 5u);

  tornavel::count_matrix m = tornavel::load_count_matrix(data + "frq");
  tornavel::memory_rows rows(m.columns, m.rows, m.counts);
  const tornavel::column_ranks scores = tornavel::score_columns(rows);
  std::vector<std::int32_t> order(scores.size());
  for (std::size_t k = 0; k < scores.size(); ++k) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(scores[k].score), expected_bits[k]) << "column " << k;
    order[k] = static_cast<std::int32_t>(k);
  }
  std::stable_sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
    return std::bit_cast<float>(expected_bits[a]) > std::bit_cast<float>(expected_bits[b]);
  });
  scratch_dir dir;
  ASSERT_EQ(run_tool(dir, "'" + data + "frq'").status, 0);
  EXPECT_EQ(read_bytes(dir.file("tornavel.ord")), words(order));
}

// A refusal: the status and message are as given, and what stood under the output names before
// is still there byte for byte, with no stray file beside it.
void expect_refusal(const bytes& input, const std::string& message, int status = 1,
                    const std::string& args = "in.frq", const std::string& prefix = "") {
  scratch_dir dir;
  write_bytes(dir.file("tornavel.ord"), {'o', 'l', 'd'});
  write_bytes(dir.file("tornavel.frq"), {'o', 'l', 'd', '!'});
  write_bytes(dir.file("in.frq"), input);
  const outcome out = run_tool(dir, args, prefix);
  EXPECT_EQ(out.status, status);
  EXPECT_EQ(out.errors, message);
  EXPECT_EQ(read_bytes(dir.file("tornavel.ord")), (bytes{'o', 'l', 'd'}));
  EXPECT_EQ(read_bytes(dir.file("tornavel.frq")), (bytes{'o', 'l', 'd', '!'}));
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.frq", "tornavel.frq", "tornavel.ord"}));
}

TEST(Refusals, CommandLineAndUnreadableInput) {
  expect_refusal(worked_input, "usage: tornavel MATRIX_FILE\n", 2, "");
  expect_refusal(worked_input, "tornavel: missing.frq: No such file or directory\n", 1,
                 "missing.frq");
  expect_refusal(worked_input, "tornavel: .: Is a directory\n", 1, ".");
}

TEST(Refusals, MalformedInputs) {
  expect_refusal({3, 0, 0, 0, 3, 0, 0},
                 "tornavel: in.frq: file is too short to hold a header (7 bytes)\n");
  expect_refusal(words({-1, 3}),
                 "tornavel: in.frq: header gives a negative number of columns (-1)\n");
  expect_refusal(words({3, -3}),
                 "tornavel: in.frq: header gives a negative number of rows (-3)\n");
  expect_refusal(words({3, 2, 1, 1, 1, 1, 1, 1}),
                 "tornavel: in.frq: matrix is not square (2 rows, 3 columns)\n");
  expect_refusal(words({3, 3, 1, 2, 3, 4, 5, 6, 7, 8}),
                 "tornavel: in.frq: file is shorter than its header says\n");
  // A header that promises 16 EiB in an 8-byte file is refused before anything is allocated.
  expect_refusal(words({2147483647, 2147483647}),
                 "tornavel: in.frq: file is shorter than its header says\n");
  expect_refusal(words({3, 3, 1, 2, 3, 4, 5, -6, 7, 8, 9}),
                 "tornavel: in.frq: negative count -6 at row 1, column 2\n");
}

TEST(Refusals, OtherFormatsGivenByMistakeAreNamed) {
  const std::pair<std::string, std::string> cases[] = {
      {"3,3,1\n0,2,0\n1,1,1\n", "file looks like text, not a count-matrix file (tornavel-convert "
                                 "makes one from a CSV or TSV table)"},
      {std::string("\x93NUMPY\x01\x00v\x00{'descr': '<f8', ", 20),
       "file is a NumPy .npy file, not a count-matrix file (tornavel-convert makes one from it)"},
      {std::string("\x1f\x8b\x08\x00\x12\x34\x56\x78\x00\x03", 10),
       "file is gzip-compressed (zcat it into tornavel /dev/stdin, or let tornavel-convert read it)"},
      {"%%MatrixMarket matrix coordinate integer general\n3 3 1\n1 1 1\n",
       "file is Matrix Market, not a count-matrix file (tornavel-convert makes one from it)"},
  };
  for (const auto& [text, reason] : cases) {
    expect_refusal(bytes(text.begin(), text.end()), "tornavel: in.frq: " + reason + "\n");
  }
}

TEST(Refusals, SwappedFilesAndOptionsAreNamedForWhatTheyAre) {
  // An order file given as the matrix, by its name or by its words (a permutation), and only
  // where it is refused: the worked order 0, 2, 1 is a valid empty matrix.
  const std::string order_hint =
      "file looks like an order file, not a count-matrix file (tornavel ranks a count-matrix file; "
      "tornavel-show order shows an order file)";
  expect_refusal(words({1, 2, 0}), "tornavel: in.frq: " + order_hint + "\n");
  expect_refusal(words({5, 7}), "tornavel: in.frq: matrix is not square (7 rows, 5 columns)\n");
  expect_refusal(words({1, 2, 2}), "tornavel: in.frq: matrix is not square (2 rows, 1 columns)\n");
  // An option, which only the companions take, unless a file has that name.
  expect_refusal(worked_input,
                 "tornavel: --labels: tornavel takes no options (tornavel-show draws and labels, tornavel-convert "
                 "reads other formats)\nusage: tornavel MATRIX_FILE\n",
                 2, "--labels w.txt in.frq");
  scratch_dir dir;
  write_bytes(dir.file("in.ord"), words({5, 7}));
  EXPECT_EQ(run_tool(dir, "in.ord").errors, "tornavel: in.ord: " + order_hint + "\n");
  write_bytes(dir.file("-x"), worked_input);
  EXPECT_EQ(run_tool(dir, "-x").status, 0);
  // A count-matrix file given as the order: the viewer says what it is.
  write_bytes(dir.file("m.frq"), worked_input);
  EXPECT_EQ(testing_support::run_in(dir, TORNAVEL_SHOW_BINARY, "order m.frq").errors,
            "tornavel-show: m.frq: entry 1 (3) is not part of a permutation of 0..10 (the file looks like a "
            "count-matrix file of 3 items: tornavel.ord is the order that goes with tornavel.frq)\n");
  write_bytes(dir.file("n.ord"), words({0, 3, 1}));
  EXPECT_EQ(testing_support::run_in(dir, TORNAVEL_SHOW_BINARY, "order n.ord").errors,
            "tornavel-show: n.ord: entry 1 (3) is not part of a permutation of 0..2\n");
}

TEST(Tool, HelpAndVersionUnlessSuchAFileExists) {
  scratch_dir dir;
  const outcome help = run_tool(dir, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.substr(0, 28), "usage: tornavel MATRIX_FILE\n");
  EXPECT_EQ(run_tool(dir, "--version").out, "tornavel 0.1.0\n");
  EXPECT_EQ(run_tool(dir, "-h").out, help.out);
  write_bytes(dir.file("--help"), worked_input);
  const outcome ranked = run_tool(dir, "--help");
  EXPECT_EQ(ranked.status, 0);
  EXPECT_EQ(ranked.out, "");
  EXPECT_EQ(read_bytes(dir.file("tornavel.ord")), words({0, 2, 1}));
}

TEST(Refusals, OutputThatCannotBeWritten) {
  // 32 x 32 counts make a 4 KiB matrix output, over a 1-block file-size limit; with SIGXFSZ
  // ignored the write fails with EFBIG instead of killing the process.
  std::vector<std::int32_t> big{32, 32};
  big.resize(2 + 32 * 32, 1);
  expect_refusal(words(big), "tornavel: tornavel.frq: File too large\n", 1, "in.frq",
                 "ulimit -f 2 && trap '' XFSZ &&");
}

TEST(Refusals, OutputNameTakenByADirectory) {
  for (const char* taken : {"tornavel.ord", "tornavel.frq"}) {
    scratch_dir dir;
    const std::string other = std::string(taken) == "tornavel.ord" ? "tornavel.frq" : "tornavel.ord";
    std::filesystem::create_directory(dir.file(taken));
    write_bytes(dir.file(other), {'o', 'l', 'd'});
    write_bytes(dir.file("in.frq"), worked_input);
    const outcome out = run_tool(dir, "in.frq");
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.errors, "tornavel: " + std::string(taken) + ": Is a directory\n");
    EXPECT_EQ(read_bytes(dir.file(other)), (bytes{'o', 'l', 'd'}));
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.frq", "tornavel.frq", "tornavel.ord"}));
  }
}

}  // namespace

namespace {

TEST(Refusals, AWriteToStandardOutputThatFailsIsAFailure) {
  // Every program, writing to a full device: a message and status 1, never success.
  testing_support::scratch_dir dir;
  testing_support::write_bytes(dir.file("in.frq"), testing_support::worked_input);
  const std::vector<std::pair<std::string, std::string>> writes = {
      {"'" TORNAVEL_BINARY "' --help", "tornavel"},
      {"'" TORNAVEL_BINARY "' --version", "tornavel"},
      {"'" TORNAVEL_SHOW_BINARY "' matrix in.frq", "tornavel-show"},
      {"'" TORNAVEL_SHOW_BINARY "' --help", "tornavel-show"},
      {"'" TORNAVEL_CONVERT_BINARY "' in.frq - --to csv", "tornavel-convert"},
      {"'" TORNAVEL_CONVERT_BINARY "' --help", "tornavel-convert"},
  };
  for (const auto& [command, program] : writes) {
    const testing_support::outcome o = testing_support::run_script(dir, command + " > /dev/full");
    EXPECT_EQ(o.status, 1) << command;
    EXPECT_NE(o.errors.find(program + ": "), std::string::npos) << command << ": " << o.errors;
  }
}

}  // namespace

namespace {

// The long options a text names: "--name" in --help, "\-\-name" in a manual page.
std::set<std::string> options_in(const std::string& text, const std::string& dash) {
  std::set<std::string> found;
  for (std::size_t at = 0; (at = text.find(dash + dash, at)) != std::string::npos;) {
    at += 2 * dash.size();
    std::size_t end = at;
    while (end < text.size() && (std::islower(static_cast<unsigned char>(text[end])) || text[end] == '-')) ++end;
    if (end > at) found.insert(text.substr(at, end - at));
  }
  return found;
}

std::string read_text_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Tool, ManualPagesAndHelpNameTheOptionsTheProgramsTake) {
  scratch_dir dir;
  for (const auto& [program, binary] : std::vector<std::pair<std::string, std::string>>{
           {"tornavel-show", TORNAVEL_SHOW_BINARY}, {"tornavel-convert", TORNAVEL_CONVERT_BINARY}}) {
    const std::string help = testing_support::run_in(dir, binary, "--help").out;
    const std::set<std::string> listed = options_in(help, "-");
    EXPECT_EQ(options_in(read_text_file(std::string(TORNAVEL_SOURCE_DIR) + "/man/" + program + ".1"), "\\-"), listed)
        << program;
    for (const std::string& option : listed) {  // each one taken, none unknown
      const outcome out = testing_support::run_in(dir, binary, "--" + option);
      EXPECT_EQ(out.errors.find("unknown option"), std::string::npos) << program << " --" << option;
    }
    EXPECT_NE(testing_support::run_in(dir, binary, "--no-such-option x y").errors.find("unknown option"),
              std::string::npos);
  }
}

}  // namespace
