// The viewer, end to end on the bundled example and on bad files, and its heatmap drawing.
#include <gtest/gtest.h>
#include <png.h>
#include <cstdio>
#include <random>
#include <regex>
#include <sstream>
#include <sys/stat.h>


#include "tests/scratch_dir.h"
#include "tests/support.h"
#include "views/axis_ticks.h"
#include "views/heatmap.h"
#include "views/score_plot.h"

namespace {

using testing_support::bytes;
using testing_support::run_show;
using testing_support::read_bytes;
using testing_support::scratch_dir;
using testing_support::words;
using testing_support::write_bytes;

const std::string examples = std::string(TORNAVEL_SOURCE_DIR) + "/examples/";

using testing_support::outcome;


void rank_in(const scratch_dir& dir, const std::string& input) {
  ASSERT_EQ(testing_support::run_in(dir, TORNAVEL_BINARY, "'" + input + "'").status, 0);
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST(Show, MatrixSummaryTableAndCut) {
  scratch_dir dir;
  const std::string letters = examples + "letters.frq";
  const outcome wide = run_show(dir, "matrix " + letters + " --labels " + examples + "letters.labels",
                            "COLUMNS=400");
  EXPECT_EQ(wide.status, 0);
  EXPECT_EQ(wide.errors, "");
  EXPECT_EQ(first_line(wide.out),
            letters + ": 27 columns x 27 rows, total 674903, largest count 21716");
  EXPECT_EQ(first_line(wide.out.substr(wide.out.find('\n') + 1)).substr(0, 12), "     a    b ");
  EXPECT_EQ(wide.out.find("(shown:"), std::string::npos);
  EXPECT_EQ(std::count(wide.out.begin(), wide.out.end(), '\n'), 29);

  const outcome narrow = run_show(dir, "matrix " + letters, "COLUMNS=40");
  EXPECT_EQ(narrow.status, 0);
  // Each column as wide as its own counts: seven fit in 40, and no line is longer.
  EXPECT_NE(narrow.out.find("(shown: 7 of 27 columns, 27 of 27 rows;"), std::string::npos);
  std::istringstream lines(narrow.out.substr(narrow.out.find('\n') + 1));
  for (std::string line; std::getline(lines, line) && line[0] != '(';) EXPECT_LE(line.size(), 40u) << line;
}

TEST(Show, RankedLabelsScoresAndTheReorderedMatrix) {
  scratch_dir dir;
  rank_in(dir, examples + "letters.frq");
  const std::string labels = " --labels " + examples + "letters.labels";
  const outcome ranked = run_show(dir, "order tornavel.ord" + labels + " --matrix " + examples +
                                       "letters.frq");
  EXPECT_EQ(ranked.status, 0);
  EXPECT_EQ(std::count(ranked.out.begin(), ranked.out.end(), '\n'), 28);
  EXPECT_EQ(first_line(ranked.out), "rank  item  label   score");
  EXPECT_EQ(first_line(ranked.out.substr(ranked.out.find('\n') + 1)),
            "   1     4  e      201071.031");
  // Scores line up on their points, whole ones too.
  EXPECT_NE(ranked.out.find("  84764\n"), std::string::npos);
  EXPECT_EQ(first_line(run_show(dir, "order tornavel.ord").out), "rank  item");
  const outcome tsv = run_show(dir, "order tornavel.ord --tsv" + labels + " --matrix " + examples +
                                    "letters.frq");
  EXPECT_EQ(tsv.out.substr(0, tsv.out.find('\n', 30)), "rank\tcolumn\tlabel\tscore\n1\t4\te\t201071.031");
  EXPECT_EQ(std::count(tsv.out.begin(), tsv.out.end(), '\n'), 28);

  // The reordered matrix named after the ranked items: e first on both axes.
  const outcome reordered =
      run_show(dir, "matrix tornavel.frq" + labels + " --order tornavel.ord", "COLUMNS=30");
  EXPECT_EQ(reordered.status, 0);
  const std::string table = reordered.out.substr(reordered.out.find('\n') + 1);
  EXPECT_EQ(first_line(table), "     e     _    i    a     s");
  EXPECT_EQ(first_line(table.substr(table.find('\n') + 1)).substr(0, 7), "e 1633 ");
}

TEST(Show, HeatmapFile) {
  scratch_dir dir;
  write_bytes(dir.file("m"), words({2, 2, 0, 1, 3, 0}));
  const outcome o = run_show(dir, "matrix m --heatmap m.pgm --scale 1");
  EXPECT_EQ(o.status, 0);
  bytes expected{'P', '5', '\n', '2', ' ', '2', '\n', '2', '5', '5', '\n'};
  expected.insert(expected.end(), {255, 128, 0, 255});  // 0 white, 3 black, 1 halfway (log)
  EXPECT_EQ(read_bytes(dir.file("m.pgm")), expected);
}

TEST(Show, HeatmapAveragesBlocksOfLargeMatrices) {
  std::vector<std::int32_t> counts(25, 0);
  counts[0] = 9;  // top-left 3 x 3 block: mean 1; the rest 0
  tornavel::heatmap_drawing drawing(5, 5, 2);
  drawing.add_rows(counts);
  const tornavel::grey_image image = tornavel::render_heatmap(drawing.finish(), {tornavel::colour_map::grey, 1});
  EXPECT_EQ(image.width, 2u);
  EXPECT_EQ(image.height, 2u);
  EXPECT_EQ(image.pixels, (std::vector<unsigned char>{0, 255, 255, 255}));
}

TEST(Show, HeatmapEdgeBlocksAreTheMeansOfTheCellsThere) {
  // 7 x 7 cells in blocks of 3: the blocks on the right and bottom edges hold 3 x 1, 1 x 3 and
  // 1 x 1 cells, each averaged over those cells alone.
  tornavel::heatmap_drawing drawing(7, 7, 3);
  std::vector<std::int32_t> counts(49, 0);
  counts[6] = 6;   // row 0, column 6: the right edge's top block holds (0..2, 6)
  counts[48] = 5;  // row 6, column 6: the corner block holds that cell alone
  counts[43] = 9;  // row 6, column 1: the bottom edge's first block holds (6, 0..2)
  drawing.add_rows(counts);
  const tornavel::heatmap_values v = drawing.finish();
  ASSERT_EQ(v.width, 3u);
  ASSERT_EQ(v.height, 3u);
  EXPECT_EQ(v.means[2], 2.0);  // 6 over 3 cells
  EXPECT_EQ(v.means[6], 3.0);  // 9 over 3 cells
  EXPECT_EQ(v.means[8], 5.0);  // 5 over 1 cell
  EXPECT_EQ(v.largest, 5.0);
}

TEST(Show, HeatmapFormatsAndPlaces) {
  scratch_dir dir;
  write_bytes(dir.file("m"), words({2, 2, 0, 1, 3, 0}));
  // PNG by its name: the signature, then an IHDR of 2 x 2, 8-bit grey.
  ASSERT_EQ(run_show(dir, "matrix m --heatmap m.png --scale 1").status, 0);
  const bytes png = read_bytes(dir.file("m.png"));
  ASSERT_GE(png.size(), 26u);
  EXPECT_EQ(bytes(png.begin(), png.begin() + 8), (bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'}));
  EXPECT_EQ(bytes(png.begin() + 16, png.begin() + 26), (bytes{0, 0, 0, 2, 0, 0, 0, 2, 8, 0}));
  // "-" is standard output, holding the image alone; a device is written to, not replaced.
  const outcome piped = run_show(dir, "matrix m --heatmap - --scale 1");
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.out.substr(0, 7), "P5\n2 2\n");
  EXPECT_EQ(run_show(dir, "matrix m --heatmap /dev/null").status, 0);
  struct stat null_device;
  ASSERT_EQ(stat("/dev/null", &null_device), 0);
  EXPECT_TRUE(S_ISCHR(null_device.st_mode));
  // A heatmap over a file being shown is refused (over the matrix itself, or its labels), and
  // one that cannot be written prints nothing.
  write_bytes(dir.file("x.pgm"), words({2, 2, 0, 1, 3, 0}));
  const outcome over_input = run_show(dir, "matrix x.pgm --heatmap x.pgm");
  EXPECT_EQ(over_input.errors,
            "tornavel-show: x.pgm: is a file being shown; writing the heatmap would replace it\n");
  EXPECT_EQ(read_bytes(dir.file("x.pgm")), words({2, 2, 0, 1, 3, 0}));
  std::remove(dir.file("x.pgm").c_str());
  write_bytes(dir.file("m.pgm"), {'x'});
  const outcome over = run_show(dir, "matrix m --heatmap m.pgm --labels m.pgm");
  EXPECT_EQ(over.status, 1);
  EXPECT_EQ(over.errors,
            "tornavel-show: m.pgm: is a file being shown; writing the heatmap would replace it\n");
  EXPECT_EQ(read_bytes(dir.file("m.pgm")), (bytes{'x'}));
  const outcome unwritable = run_show(dir, "matrix m --heatmap no/such/folder.pgm");
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_EQ(unwritable.out, "");
  EXPECT_EQ(run_show(dir, "matrix m --heatmap m.jpg").status, 2);
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"m", "m.pgm", "m.png"}));
}

TEST(Show, PipesAndTheRankedMatrixNote) {
  scratch_dir dir;
  rank_in(dir, examples + "letters.frq");
  const outcome piped = run_show(dir, "order /dev/stdin", "cat tornavel.ord |");
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(std::count(piped.out.begin(), piped.out.end(), '\n'), 28);
  const std::string labels = " --labels " + examples + "letters.labels";
  // The ranked matrix in place of the one the order was made from: its scores would not
  // descend along the order.
  const outcome slip = run_show(dir, "order tornavel.ord --matrix tornavel.frq");
  EXPECT_EQ(slip.status, 1);
  EXPECT_EQ(slip.errors, "tornavel-show: tornavel.frq: the order does not rank this matrix: give "
                         "the matrix it was made from\n");
  EXPECT_EQ(run_show(dir, "order tornavel.ord --matrix " + examples + "letters.frq").status, 0);
  const outcome unordered = run_show(dir, "matrix tornavel.frq" + labels);
  EXPECT_EQ(unordered.status, 0);
  EXPECT_EQ(unordered.errors, "tornavel-show: note: the labels name the items in file order; if tornavel.frq is in "
                              "rank order, --order tornavel.ord names them after the ranked items\n");
  EXPECT_EQ(run_show(dir, "matrix tornavel.frq --order tornavel.ord" + labels).errors, "");
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
      {"matrix -- -x", "tornavel-show: -x: No such file or directory\n"},  // after --, a name
      {"order odd", "tornavel-show: odd: order file is not a whole number of 4-byte entries (5 bytes)\n"},
      {"order dup", "tornavel-show: dup: entry 1 (1) is not part of a permutation of 0..1\n"},
      {"matrix " + examples + "letters.frq --labels labels",
       "tornavel-show: labels: 1 names for 27 items\n"},
  };
  for (const auto& [args, message] : refusals) {
    const outcome o = run_show(dir, args);
    EXPECT_EQ(o.status, 1) << args;
    EXPECT_EQ(o.errors, message) << args;
  }
  for (const char* args : {"", "matrix", "table x", "matrix x --bogus", "order x --heatmap y.pgm",
                           "matrix x --labels"}) {
    const outcome o = run_show(dir, args);
    EXPECT_EQ(o.status, 2) << args;
    EXPECT_NE(o.errors.find("usage: tornavel-show matrix"), std::string::npos) << args;
  }
  EXPECT_EQ(run_show(dir, "order a b").errors.substr(0, 38), "tornavel-show: unexpected argument b\nu");
  EXPECT_EQ(run_show(dir, "-h").status, 0);
  const outcome help = run_show(dir, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--heatmap OUT"), std::string::npos);
  EXPECT_EQ(run_show(dir, "--version").out, "tornavel-show 0.1.0\n");
}

TEST(Show, MemoryFollowsThePictureNotTheMatrix) {
  // 144 MiB of counts (a sparse file, read as zeros but for one count): the viewer's peak stays
  // a small part of it, for the table and for the heatmap alike (about 8 and 25 MiB here).
  scratch_dir dir;
  const outcome made = testing_support::run_script(
      dir, "printf '\\160\\027\\000\\000\\160\\027\\000\\000' > m && truncate -s $((8 + 4 * 6000 * 6000)) m && "
           "printf '\\007' | dd of=m bs=1 seek=100000 conv=notrunc status=none");
  ASSERT_EQ(made.status, 0);
  for (const char* args : {"matrix m", "matrix m --heatmap m.png"}) {
    const outcome o = run_show(dir, args + std::string(" >/dev/null; cat .peak >&2"),
                           "/usr/bin/time -f %M -o .peak");
    ASSERT_EQ(o.status, 0) << args << o.errors;
    // A quarter of the matrix: the picture's means and pixels, and the sanitizers' own memory.
    EXPECT_LT(std::stol(o.errors), 36 * 1024 * (testing_support::address_sanitizer ? 2 : 1))
        << args << ": peak KiB";
  }
}

TEST(Show, TextFromFilesIsEscapedAndStandardOutputHoldsAnImageAlone) {
  scratch_dir dir;
  write_bytes(dir.file("m"), words({2, 2, 0, 1, 3, 0}));
  write_bytes(dir.file("o"), words({1, 0}));
  // An escape sequence, a C1 control (CSI as UTF-8) and a right-to-left override in the labels.
  const std::string labels = "a\x1b]0;title\x07\n\xc2\x9b" "31m\xe2\x80\xae" "b\n";
  write_bytes(dir.file("l"), bytes(labels.begin(), labels.end()));
  const outcome table = run_show(dir, "matrix m --labels l");
  EXPECT_EQ(table.status, 0);
  EXPECT_NE(table.out.find(R"('a\x1b]0;title\x07')"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find(R"('\u{9b}31m\u{202e}b')"), std::string::npos) << table.out;
  const outcome listing = run_show(dir, "order o --labels l");
  EXPECT_EQ(listing.out.find('\x1b'), std::string::npos);
  // The TSV table stays exact, so a label that would break it is refused.
  write_bytes(dir.file("t"), {'a', '\t', 'x', '\n', 'b', '\n'});
  const outcome tsv = run_show(dir, "order o --labels t --tsv");
  EXPECT_EQ(tsv.status, 1);
  EXPECT_EQ(tsv.errors, "tornavel-show: t: line 1: a label holds a tab\n");
  // A file that says it is empty but has bytes is read as a stream; an image sent to standard
  // output by another name comes alone.
  EXPECT_EQ(run_show(dir, "order /proc/self/auxv").status, 1);
  const outcome image = run_show(dir, "matrix m --heatmap /dev/stdout --scale 1 | cat");
  EXPECT_EQ(image.status, 0);
  EXPECT_EQ(image.out.substr(0, 7), "P5\n2 2\n");
  EXPECT_EQ(image.out.size(), 11u + 4u);
}

TEST(Show, PicturesScaledColouredAndExplained) {
  // A 2 x 2 matrix is drawn at least 512 pixels a side by default; viridis keeps zero white;
  // the SVG carries the labels and a legend, and renders (where rsvg-convert is installed) with
  // the cells where they belong.
  scratch_dir dir;
  write_bytes(dir.file("m"), words({2, 2, 0, 1, 3, 0}));
  write_bytes(dir.file("l"), {'a', 'x', '\n', 'b', '<', '\n'});
  ASSERT_EQ(run_show(dir, "matrix m --heatmap m.pgm").status, 0);
  EXPECT_EQ(read_bytes(dir.file("m.pgm")).size(), 15u + 512 * 512);
  ASSERT_EQ(run_show(dir, "matrix m --heatmap m.png --colors viridis --scale 3").status, 0);
  const bytes png = read_bytes(dir.file("m.png"));
  EXPECT_EQ(bytes(png.begin() + 16, png.begin() + 26), (bytes{0, 0, 0, 6, 0, 0, 0, 6, 8, 2}));  // RGB
  ASSERT_EQ(run_show(dir, "matrix m --labels l --heatmap m.svg --colors viridis").status, 0);
  const bytes svg_bytes = read_bytes(dir.file("m.svg"));
  const std::string svg(svg_bytes.begin(), svg_bytes.end());
  for (const char* part : {">ax</text>", ">b&lt;</text>", ">count,</text>", ">log scale</text>", ">1</text>", ">2</text>", ">0</text>"}) {
    EXPECT_NE(svg.find(part), std::string::npos) << part;
  }
  // The scores by rank, named where they start; log-scaled where they span decades.
  write_bytes(dir.file("o"), words({0, 1}));
  ASSERT_EQ(run_show(dir, "order o --matrix m --labels l --plot p.svg").status, 0);
  const bytes plot_bytes = read_bytes(dir.file("p.svg"));
  const std::string plot(plot_bytes.begin(), plot_bytes.end());
  EXPECT_NE(plot.find(">rank</text>"), std::string::npos);
  EXPECT_NE(plot.find(">2. b&lt;</text>"), std::string::npos);
  EXPECT_NE(tornavel::score_plot_svg({5000.0f, 40.0f, 0.0f}, {}).find("(log scale)"), std::string::npos);
  EXPECT_EQ(tornavel::score_plot_svg({5.0f, 4.0f}, {}).find("(log scale)"), std::string::npos);
  for (const char* refused : {"matrix m --heatmap m.pgm --colors viridis", "matrix m --scale 2",
                              "matrix m --heatmap m.png --scale 0", "matrix m --heatmap m.png --colors red",
                              "order o --plot p.svg", "order o --matrix m --plot p.png"}) {
    EXPECT_EQ(run_show(dir, refused).status, 2) << refused;
  }
  if (testing_support::run_script(dir, "rsvg-convert --version").status != 0) {
    GTEST_SKIP() << "rsvg-convert (librsvg2-bin) is not installed to render the SVG";
  }
  ASSERT_EQ(testing_support::run_script(dir, "rsvg-convert m.svg -o m-svg.png && rsvg-convert p.svg -o p.png").status, 0);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_file(&image, dir.file("m-svg.png").c_str()), 0);
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_NE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr), 0);
  // Cells of 256 pixels after a margin as wide as the longest label (2 letters of 14 points).
  const auto pixel = [&](double x, double y) {
    const std::size_t at = 3 * (static_cast<std::size_t>(y) * image.width + static_cast<std::size_t>(x));
    return bytes(pixels.begin() + static_cast<std::ptrdiff_t>(at), pixels.begin() + static_cast<std::ptrdiff_t>(at) + 3);
  };
  const double margin = 12 + 14 * 0.65 * 2;
  // Within a step or two of the colours drawn: a renderer may resample.
  const auto near = [](const bytes& got, const bytes& want) {
    for (std::size_t c = 0; c < 3; ++c) {
      if (std::abs(int{got[c]} - int{want[c]}) > 3) return false;
    }
    return true;
  };
  EXPECT_TRUE(near(pixel(margin + 128, margin + 128), {255, 255, 255}));        // a zero: white
  EXPECT_TRUE(near(pixel(margin + 128, margin + 256 + 128), {253, 231, 37}));   // the largest: yellow
  EXPECT_FALSE(near(pixel(margin + 256 + 128, margin + 128), {255, 255, 255}));  // a count of 1
}

}  // namespace

namespace {

TEST(Show, WhatTheViewerWritesCannotBeTurnedAgainstItOrTheTerminal) {
  // Labels with an escape sequence reach a terminal escaped even as TSV (which stays exact to a
  // file or pipe); a label that is not UTF-8 leaves the SVG pictures well formed; a plot may not
  // be written over a file being shown; a labels file without line ends and a scale that would
  // make a picture of gigabytes are refused at once.
  scratch_dir dir;
  write_bytes(dir.file("m"), words({2, 2, 0, 1, 3, 0}));
  write_bytes(dir.file("o"), words({1, 0}));
  const std::string labels = "a\x1b[31m\n\xff\xfe" "b\n";
  write_bytes(dir.file("l"), bytes(labels.begin(), labels.end()));
  const outcome on_terminal =
      testing_support::run_script(dir, "script -qec \"'" TORNAVEL_SHOW_BINARY "' order o --labels l --tsv\" /dev/null");
  EXPECT_EQ(on_terminal.out.find('\x1b'), std::string::npos) << on_terminal.out;
  EXPECT_NE(on_terminal.out.find(R"('a\x1b[31m')"), std::string::npos) << on_terminal.out;
  const outcome to_pipe = run_show(dir, "order o --labels l --tsv | cat");
  EXPECT_NE(to_pipe.out.find("a\x1b[31m"), std::string::npos);

  write_bytes(dir.file("r"), words({0, 1}));  // m's own ranking, which a plot needs
  // With --tsv to a pipe the labels go to the plot as they are, bytes that are not UTF-8 too.
  ASSERT_EQ(run_show(dir, "order r --labels l --matrix m --plot p.svg --tsv >/dev/null").status, 0);
  ASSERT_EQ(run_show(dir, "matrix m --labels l --heatmap h.svg --scale 20").status, 0);
  for (const auto& [svg, replaced] : {std::pair{"p.svg", "True"}, std::pair{"h.svg", "False"}}) {
    const outcome parsed = testing_support::run_script(
        dir, std::string("/usr/bin/python3 -c \"import sys, xml.dom.minidom as m; "
                         "t = m.parse(sys.argv[1]).toxml(); print('\\ufffd' in t)\" ") + svg);
    EXPECT_EQ(parsed.out, std::string(replaced) + "\n") << svg << ": " << parsed.errors;
  }
  write_bytes(dir.file("names.svg"), bytes(labels.begin(), labels.end()));
  const outcome over_labels = run_show(dir, "order r --labels names.svg --matrix m --plot names.svg");
  EXPECT_EQ(over_labels.errors, "tornavel-show: names.svg: is a file being shown; writing the plot would replace it\n");
  EXPECT_EQ(read_bytes(dir.file("names.svg")), bytes(labels.begin(), labels.end()));

  const outcome zero = run_show(dir, "matrix m --labels /dev/zero");
  EXPECT_EQ(zero.status, 1);
  EXPECT_EQ(zero.errors, "tornavel-show: /dev/zero: line 1: a label longer than 1 MiB\n");
  std::vector<std::int32_t> thirty{30, 30};
  thirty.resize(2 + 30 * 30, 1);
  write_bytes(dir.file("thirty"), words(thirty));
  const outcome huge = run_show(dir, "matrix thirty --heatmap big.png --scale 999");
  EXPECT_EQ(huge.errors, "tornavel-show: big.png: --scale 999 makes a picture of 29970 pixels a side; at most 8192\n");
  EXPECT_EQ(run_show(dir, "matrix thirty --heatmap big.png --scale 273").status, 0);  // 8190 pixels
  EXPECT_EQ(run_show(dir, "matrix thirty --heatmap big.png --scale 274").status, 1);
}

}  // namespace

namespace {

void write_text(const scratch_dir& dir, const std::string& name, const std::string& text) {
  write_bytes(dir.file(name), bytes(text.begin(), text.end()));
}

// The texts of an SVG's <text> elements, in order.
std::vector<std::string> texts_of(const std::string& svg) {
  std::vector<std::string> texts;
  const std::regex text("<text[^>]*>([^<]*)</text>");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), text); it != std::sregex_iterator(); ++it) {
    texts.push_back((*it)[1]);
  }
  return texts;
}

TEST(Show, AxisTicksAreRoundAndWrittenOneWay) {
  std::mt19937_64 random(27);
  for (int trial = 0; trial < 2000; ++trial) {
    const double high = std::exp(std::uniform_real_distribution<double>(-8.0, 30.0)(random));
    const std::vector<double> linear = tornavel::linear_ticks(high);
    ASSERT_GE(linear.size(), 2u);
    ASSERT_LE(linear.size(), 6u) << high;
    EXPECT_EQ(linear.front(), 0.0);
    EXPECT_GE(linear.back(), high * (1 - 1e-9));
    EXPECT_LT(linear[linear.size() - 2], high);
    const double step = linear[1];
    const double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + 1e-9));
    EXPECT_TRUE(std::abs(mantissa - 1) < 1e-9 || std::abs(mantissa - 2) < 1e-9 || std::abs(mantissa - 5) < 1e-9)
        << step;
    const double low = high / std::exp(std::uniform_real_distribution<double>(0.0, 20.0)(random));
    const std::vector<double> logs = tornavel::log_ticks(low, high);
    std::size_t decades = 0;
    for (const double tick : logs) {
      EXPECT_GE(tick, low * (1 - 1e-9));
      EXPECT_LE(tick, high * (1 + 1e-9));
      const double m = tick / std::pow(10.0, std::floor(std::log10(tick) + 1e-9));
      decades += std::abs(m - 1) < 1e-9;
      EXPECT_TRUE(std::abs(m - 1) < 1e-9 || std::abs(m - 2) < 1e-9 || std::abs(m - 5) < 1e-9) << tick;
    }
    if (decades >= 3) {
      EXPECT_EQ(decades, logs.size());
    }
    // One notation for an axis: exponents throughout from a million, never below.
    for (const std::vector<double>* axis : {&linear, &logs}) {
      if (axis->empty()) continue;
      for (const double tick : *axis) {
        const std::string text = tornavel::tick_text(tick, axis->back());
        EXPECT_EQ(text.find('+'), std::string::npos) << text;
        if (tick != 0.0) {
          EXPECT_EQ(text.find('e') != std::string::npos, axis->back() >= 1e6) << text;
        }
      }
    }
  }
  EXPECT_EQ(tornavel::linear_ticks(201071), (std::vector<double>{0, 50000, 100000, 150000, 200000, 250000}));
  EXPECT_EQ(tornavel::log_ticks(3, 21716), (std::vector<double>{10, 100, 1000, 10000}));
  EXPECT_EQ(tornavel::log_ticks(3, 60), (std::vector<double>{5, 10, 20, 50}));
  EXPECT_EQ(tornavel::tick_text(2e7, 1e8), "2e7");
  EXPECT_EQ(tornavel::tick_text(0.05, 1), "0.05");
}

TEST(Show, EveryLabelIsDrawnOrTheUserIsToldWhy) {
  scratch_dir dir;
  // 300, 1500 and 2048 items, one cell each: every name on both axes, in cells of 12 units
  // however small the image; 2100 items, in blocks of 2: each block named by its first and last.
  for (const int items : {300, 1500, 2048, 2100}) {
    std::vector<std::int32_t> matrix{items, items};
    for (int r = 0; r < items; ++r) {
      for (int k = 0; k < items; ++k) matrix.push_back((r * 7 + k * 3) % 11 == 0 ? r % 5 : 0);
    }
    write_bytes(dir.file("m"), words(matrix));
    std::string labels;
    for (int i = 0; i < items; ++i) labels += "w" + std::to_string(i) + "\n";
    write_text(dir, "l", labels);
    const outcome out = run_show(dir, "matrix m --labels l --heatmap m.svg");
    ASSERT_EQ(out.status, 0) << out.errors;
    EXPECT_EQ(out.errors, "");
    const bytes svg_bytes = read_bytes(dir.file("m.svg"));
    const std::vector<std::string> texts = texts_of(std::string(svg_bytes.begin(), svg_bytes.end()));
    const int block = (items + 2047) / 2048;
    const int cells = (items + block - 1) / block;
    for (int i = 0; i < cells; ++i) {
      const int last = std::min((i + 1) * block, items) - 1;
      const std::string name = block == 1 ? "w" + std::to_string(i)
                                          : "w" + std::to_string(i * block) + "\u2013w" + std::to_string(last);
      EXPECT_EQ(std::count(texts.begin(), texts.end(), name), 2) << items << " " << name;
    }
    const std::string svg(svg_bytes.begin(), svg_bytes.end());
    EXPECT_NE(svg.find("width=\"" + std::to_string(12 * cells) + "\" height=\"" + std::to_string(12 * cells) + "\""),
              std::string::npos)
        << items;
  }
  // An image holds no text: the labels are not drawn, and standard error says so.
  write_bytes(dir.file("m"), words({2, 2, 0, 1, 3, 0}));
  write_text(dir, "l", "a\nb\n");
  for (const char* picture : {"m.png", "m.pgm"}) {
    const outcome out = run_show(dir, std::string("matrix m --labels l --heatmap ") + picture);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.errors, std::string("tornavel-show: note: ") + picture +
                              ": labels are drawn only in an SVG heatmap (a name ending in .svg)\n");
  }
  EXPECT_EQ(run_show(dir, "matrix m --heatmap m.png").errors, "");
}

TEST(Show, PlotNamesItsFirstItemsApartAndTheTableFitsItsColumns) {
  // Five items with nearly equal scores: their names in a list a line apart, never on top of
  // each other.
  const std::string plot = tornavel::score_plot_svg({100.0f, 99.9f, 99.8f, 99.7f, 99.6f, 1.0f},
                                                    {"a", "b", "c", "d", "e", "f"});
  std::vector<double> ys;
  const std::regex named("<text x=\"[0-9.]+\" y=\"([0-9.]+)\"[^>]*>[0-9]\\. [a-e]</text>");
  for (auto it = std::sregex_iterator(plot.begin(), plot.end(), named); it != std::sregex_iterator(); ++it) {
    ys.push_back(std::stod((*it)[1]));
  }
  ASSERT_EQ(ys.size(), 5u) << plot;
  for (std::size_t i = 1; i < ys.size(); ++i) EXPECT_GE(ys[i] - ys[i - 1], 12.0);
  // A long label widens its own column only.
  scratch_dir dir;
  write_bytes(dir.file("m"), words({3, 3, 1, 20, 3, 4, 5, 6, 7, 8, 9}));
  write_text(dir, "l", "a\na-very-long-label\nc\n");
  const outcome out = run_show(dir, "matrix m --labels l", "COLUMNS=80");
  EXPECT_EQ(out.out.substr(out.out.find('\n') + 1),
            "                  a a-very-long-label c\n"
            "a                 1                20 3\n"
            "a-very-long-label 4                 5 6\n"
            "c                 7                 8 9\n");
}

}  // namespace
