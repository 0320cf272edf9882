// The viewer, end to end on the bundled example and on bad files, and its heatmap drawing.
#include <gtest/gtest.h>


#include "tests/scratch_dir.h"
#include "tool/heatmap.h"

namespace {

using testing_support::bytes;
using testing_support::read_bytes;
using testing_support::scratch_dir;
using testing_support::words;
using testing_support::write_bytes;

const std::string examples = std::string(TORNAVEL_SOURCE_DIR) + "/examples/";

using testing_support::outcome;

outcome show(const scratch_dir& dir, const std::string& args, const std::string& env = "") {
  return testing_support::run_in(dir, TORNAVEL_SHOW_BINARY, args, env);
}

void run_tool(const scratch_dir& dir, const std::string& input) {
  ASSERT_EQ(testing_support::run_in(dir, TORNAVEL_BINARY, "'" + input + "'").status, 0);
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST(Show, MatrixSummaryTableAndCut) {
  scratch_dir dir;
  const std::string letters = examples + "letters.frq";
  const outcome wide = show(dir, "matrix " + letters + " --labels " + examples + "letters.labels",
                            "COLUMNS=400");
  EXPECT_EQ(wide.status, 0);
  EXPECT_EQ(wide.errors, "");
  EXPECT_EQ(first_line(wide.out),
            letters + ": 27 columns x 27 rows, total 674903, largest count 21716");
  EXPECT_EQ(first_line(wide.out.substr(wide.out.find('\n') + 1)).substr(0, 12), "      a     ");
  EXPECT_EQ(wide.out.find("(shown:"), std::string::npos);
  EXPECT_EQ(std::count(wide.out.begin(), wide.out.end(), '\n'), 29);

  const outcome narrow = show(dir, "matrix " + letters, "COLUMNS=40");
  EXPECT_EQ(narrow.status, 0);
  EXPECT_NE(narrow.out.find("(shown: 6 of 27 columns, 27 of 27 rows;"), std::string::npos);
}

TEST(Show, RankedLabelsScoresAndTheReorderedMatrix) {
  scratch_dir dir;
  run_tool(dir, examples + "letters.frq");
  const std::string labels = " --labels " + examples + "letters.labels";
  const outcome ranked = show(dir, "order tornavel.ord" + labels + " --matrix " + examples +
                                       "letters.frq");
  EXPECT_EQ(ranked.status, 0);
  EXPECT_EQ(std::count(ranked.out.begin(), ranked.out.end(), '\n'), 27);
  EXPECT_EQ(first_line(ranked.out), " 1   4  e  201071.031");
  EXPECT_EQ(first_line(show(dir, "order tornavel.ord").out), " 1   4");

  // The reordered matrix named after the ranked items: e first on both axes.
  const outcome reordered =
      show(dir, "matrix tornavel.frq" + labels + " --order tornavel.ord", "COLUMNS=30");
  EXPECT_EQ(reordered.status, 0);
  const std::string table = reordered.out.substr(reordered.out.find('\n') + 1);
  EXPECT_EQ(first_line(table), "      e     _     i     a");
  EXPECT_EQ(first_line(table.substr(table.find('\n') + 1)).substr(0, 7), "e  1633");
}

TEST(Show, HeatmapFile) {
  scratch_dir dir;
  write_bytes(dir.file("m"), words({2, 2, 0, 1, 3, 0}));
  const outcome o = show(dir, "matrix m --heatmap m.pgm");
  EXPECT_EQ(o.status, 0);
  bytes expected{'P', '5', '\n', '2', ' ', '2', '\n', '2', '5', '5', '\n'};
  expected.insert(expected.end(), {255, 128, 0, 255});  // 0 white, 3 black, 1 halfway (log)
  EXPECT_EQ(read_bytes(dir.file("m.pgm")), expected);
}

TEST(Show, HeatmapAveragesBlocksOfLargeMatrices) {
  tornavel::uninitialized_counts counts(25, 0);
  counts[0] = 9;  // top-left 3 x 3 block: mean 1; the rest 0
  const tornavel::count_matrix m = tornavel::make_count_matrix(5, 5, counts);
  const tornavel::grey_image image = tornavel::draw_heatmap(m, 2);
  EXPECT_EQ(image.width, 2u);
  EXPECT_EQ(image.height, 2u);
  EXPECT_EQ(image.pixels, (std::vector<unsigned char>{0, 255, 255, 255}));
}

TEST(Show, RefusalsAndCommandLine) {
  scratch_dir dir;
  write_bytes(dir.file("bad"), words({2, 2, 1, -4, 0, 0}));
  write_bytes(dir.file("odd"), {1, 0, 0, 0, 0});
  write_bytes(dir.file("dup"), words({1, 1}));
  write_bytes(dir.file("labels"), {'a', '\n'});
  const std::pair<std::string, std::string> refusals[] = {
      {"matrix bad", "tornavel-show: bad: negative count -4 at row 0, column 1\n"},
      {"matrix missing", "tornavel-show: missing: No such file or directory\n"},
      {"order odd", "tornavel-show: odd: order file is not a whole number of 4-byte entries (5 bytes)\n"},
      {"order dup", "tornavel-show: dup: entry 1 (1) is not part of a permutation of 0..1\n"},
      {"matrix " + examples + "letters.frq --labels labels",
       "tornavel-show: labels: 1 names for 27 items\n"},
  };
  for (const auto& [args, message] : refusals) {
    const outcome o = show(dir, args);
    EXPECT_EQ(o.status, 1) << args;
    EXPECT_EQ(o.errors, message) << args;
  }
  for (const char* args : {"", "matrix", "table x", "matrix x --bogus", "order x --heatmap y.pgm",
                           "matrix x --labels"}) {
    const outcome o = show(dir, args);
    EXPECT_EQ(o.status, 2) << args;
    EXPECT_NE(o.errors.find("usage: tornavel-show matrix"), std::string::npos) << args;
  }
  const outcome help = show(dir, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--heatmap OUT.pgm"), std::string::npos);
  EXPECT_EQ(show(dir, "--version").out, "tornavel-show 0.1.0\n");
}

}  // namespace
