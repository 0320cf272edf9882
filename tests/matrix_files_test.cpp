#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include <unistd.h>

#include "files/file_error.h"
#include "files/file_stream.h"
#include "files/publication.h"
#include "files/staged_file.h"
#include "formats/count_matrix_builder.h"
#include "formats/count_text.h"
#include "job/input_rows.h"
#include "matrix_files/count_matrix_file.h"
#include "matrix_files/order_file.h"
#include "model/file_size.h"
#include "model/frq_header.h"
#include "model/shape.h"
#include "system/coding.h"
#include "tests/scratch_dir.h"

namespace tornavel {
namespace {

using testing_support::bytes;
using testing_support::read_bytes;
using testing_support::scratch_dir;
using testing_support::words;
using testing_support::write_bytes;

TEST(Coding, LittleEndianWords) {
  const unsigned char raw[] = {0x78, 0x56, 0x34, 0x12, 0xff, 0xff, 0xff, 0xff};
  EXPECT_EQ(decode_fixed32(raw), 0x12345678);
  EXPECT_EQ(decode_fixed32(raw + 4), -1);
  unsigned char out[4];
  encode_fixed32(out, -2);
  EXPECT_EQ(bytes(out, out + 4), (bytes{0xfe, 0xff, 0xff, 0xff}));
}

TEST(MatrixFiles, SavedMatrixLoadsBackAndTrailingBytesAreIgnored) {
  scratch_dir dir;
  const std::vector<std::int32_t> counts{7, 0, 2147483647, 1};
  staged_file saved(dir.file("m"));
  write_count_matrix_header(saved.stream(), 2, 2);
  std::vector<std::int32_t> rows = counts;
  write_count_rows(saved.stream(), rows);
  saved.finish();
  publish_together({&saved});
  EXPECT_EQ(read_bytes(dir.file("m")), words({2, 2, 7, 0, 2147483647, 1}));

  bytes with_tail = read_bytes(dir.file("m"));
  with_tail.insert(with_tail.end(), {0xde, 0xad, 0xbe});
  write_bytes(dir.file("tail"), with_tail);
  const count_matrix loaded = load_count_matrix(dir.file("tail"));
  EXPECT_EQ(loaded.columns, 2);
  EXPECT_EQ(loaded.rows, 2);
  EXPECT_TRUE(std::equal(loaded.counts.begin(), loaded.counts.end(), counts.begin(), counts.end()));
}

TEST(FileSize, EverySideAFileOffsetCanSayAndNoneBeyond) {
  EXPECT_EQ(dense_file_bytes(8, 0), 8);
  EXPECT_EQ(dense_file_bytes(8, 3), 44);
  EXPECT_EQ(dense_file_bytes(8, 1518500249), std::optional<std::int64_t>(8 + 4 * 1518500249LL * 1518500249LL));
  // Past it the bytes, the square, or the sum with the header pass 2^63 - 1, and never come
  // back as a small size: 2^32 squared is 2^64, which 64 bits would hold as 0.
  for (const std::int64_t side : {1518500250LL, 3037000500LL, 4294967296LL, 9223372036854775807LL, -1LL}) {
    EXPECT_EQ(dense_file_bytes(8, side), std::nullopt) << side;
  }
  EXPECT_EQ(dense_file_bytes(9223372036854775807LL, 1), std::nullopt);
}

TEST(MatrixFiles, EmptyShapesLoad) {
  scratch_dir dir;
  write_bytes(dir.file("m"), words({0, 5}));
  const count_matrix no_columns = load_count_matrix(dir.file("m"));
  EXPECT_EQ(no_columns.columns, 0);
  EXPECT_EQ(no_columns.rows, 5);
  EXPECT_TRUE(no_columns.counts.empty());
}

TEST(StagedFile, AppearsOnlyWhenPublished) {
  scratch_dir dir;
  write_bytes(dir.file("out"), {1, 2, 3});
  {
    staged_file file = save_order_file(std::vector<std::int32_t>{9}, dir.file("out"));
    EXPECT_EQ(read_bytes(dir.file("out")), (bytes{1, 2, 3}));
    EXPECT_EQ(dir.names().size(), 2u);  // the old file and the temporary
  }
  // Dropped unpublished: the temporary is gone and the old file untouched.
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"out"}));
  EXPECT_EQ(read_bytes(dir.file("out")), (bytes{1, 2, 3}));

  staged_file file = save_order_file(std::vector<std::int32_t>{9}, dir.file("out"));
  publish_together({&file});
  EXPECT_EQ(read_bytes(dir.file("out")), words({9}));
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"out"}));
}

TEST(StagedFile, DirectoryInTheWayStopsBeforeAnyRename) {
  scratch_dir dir;
  write_bytes(dir.file("first"), {1});
  std::filesystem::create_directory(dir.file("second"));
  staged_file first = save_order_file(std::vector<std::int32_t>{1}, dir.file("first"));
  staged_file second = save_order_file(std::vector<std::int32_t>{2}, dir.file("second"));
  try {
    publish_together({&first, &second});
    FAIL() << "published over a directory";
  } catch (const file_error& error) {
    EXPECT_EQ(error.path(), dir.file("second"));
    EXPECT_EQ(error.reason(), "Is a directory");
  }
  EXPECT_EQ(read_bytes(dir.file("first")), (bytes{1}));
}

}  // namespace
}  // namespace tornavel

namespace tornavel {
namespace {

// Fails the rename onto any name ending in "second", as an immutable or foreign file would.
int rename_but_not_second(const char* from, const char* to) {
  const std::string target = to;
  if (target.size() >= 6 && target.compare(target.size() - 6, 6, "second") == 0) {
    errno = EPERM;
    return -1;
  }
  return std::rename(from, to);
}

TEST(StagedFile, AFailedRenameTakesBackTheOnesBeforeIt) {
  for (const bool first_existed : {true, false}) {
    scratch_dir dir;
    if (first_existed) write_bytes(dir.file("first"), {1});
    write_bytes(dir.file("second"), {2});
    staged_file first = save_order_file(std::vector<std::int32_t>{10}, dir.file("first"));
    staged_file second = save_order_file(std::vector<std::int32_t>{20}, dir.file("second"));
    try {
      publish_together({&first, &second}, {{}, rename_but_not_second, {}});
      FAIL() << "published past a failed rename";
    } catch (const file_error& error) {
      EXPECT_EQ(error.path(), dir.file("second"));
      EXPECT_EQ(error.reason(), "Operation not permitted");
    }
    if (first_existed) {
      EXPECT_EQ(read_bytes(dir.file("first")), (bytes{1}));
    } else {
      EXPECT_FALSE(std::filesystem::exists(dir.file("first")));
    }
    EXPECT_EQ(read_bytes(dir.file("second")), (bytes{2}));
    EXPECT_EQ(dir.names().size(), first_existed ? 2u : 1u);  // no temporary, no journal
  }
}

// Changes the change time of the file at path until it differs from before's: the clock that
// stamps it may tick a few milliseconds apart, so the test waits for the next tick instead of
// hoping one has passed.
void move_change_time(const std::string& path, const struct stat& before) {
  for (;;) {
    struct stat now;
    ASSERT_EQ(stat(path.c_str(), &now), 0);
    if (now.st_ctim.tv_sec != before.st_ctim.tv_sec || now.st_ctim.tv_nsec != before.st_ctim.tv_nsec) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(chmod(path.c_str(), now.st_mode & 07777), 0);  // a change of nothing but the change time
  }
}

// Waits, if need be, for a second to begin: what follows, a few milliseconds, then stays within
// it, so that a change time moves in its nanoseconds alone.
// The type of a file time, seconds and nanoseconds.
using file_time = decltype(stat::st_mtim);

void wait_for_a_fresh_second() {
  file_time now;
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_nsec > 500'000'000) std::this_thread::sleep_for(std::chrono::nanoseconds(1'000'000'000 - now.tv_nsec + 1'000'000));
}

TEST(CountMatrixInput, ChangedContentsAreRefusedAndChangedMetadataAloneIsNot) {
  // Appended to; touched; rewritten in place with the size and modification time set back, which
  // only the change time and the contents give away: refused. A link added and removed (as a
  // publication beside the file makes them) or a change of mode moves the change time alone:
  // the rows read again are as they were first read, and the file is taken.
  const std::vector<std::pair<std::string, bool>> changes = {
      {"append", false}, {"touch", false}, {"rewrite", false}, {"link", true}, {"mode", true}};
  for (const auto& [change, taken] : changes) {
    scratch_dir dir;
    wait_for_a_fresh_second();  // a lost comparison of nanoseconds is then always seen
    const std::string path = dir.file("m");
    write_bytes(path, words({2, 2, 1, 2, 3, 4}));
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    count_matrix_input input = count_matrix_input::open(path);
    std::vector<std::int32_t> scratch(4);
    input.read_rows(0, 2, scratch);
    input.check_unchanged();
    if (change == "append") {
      write_bytes(path, words({2, 2, 1, 2, 3, 4, 5}));
    } else if (change == "touch") {
      const file_time times[2] = {before.st_atim, {before.st_mtim.tv_sec + 5, before.st_mtim.tv_nsec}};
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    } else if (change == "rewrite") {
      write_bytes(path, words({2, 2, 9, 2, 3, 4}));
      const file_time times[2] = {before.st_atim, before.st_mtim};
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    } else if (change == "link") {
      ASSERT_EQ(link(path.c_str(), dir.file("second").c_str()), 0);
      ASSERT_EQ(unlink(dir.file("second").c_str()), 0);
    }
    move_change_time(path, before);
    if (HasFatalFailure()) return;
    if (taken) {
      EXPECT_NO_THROW(input.check_unchanged()) << change;
      continue;
    }
    try {
      input.check_unchanged();
      FAIL() << change;
    } catch (const file_error& error) {
      EXPECT_EQ(error.reason(), "file changed while it was read") << change;
    }
  }
}

TEST(CountMatrixInput, APipeIsHeldWholeAndReadByBothThreadsAFileByPosition) {
  // A pipe has no length to check the header against and cannot be read twice: it is read whole
  // when opened, and then both threads may read its rows at once. A file is read where it lies.
  scratch_dir dir;
  write_bytes(dir.file("m"), words({2, 2, 1, 2, 3, 4}));
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const bytes data = read_bytes(dir.file("m"));
  ASSERT_EQ(write(ends[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(ends[1]);
  count_matrix_input piped = count_matrix_input::open("/dev/fd/" + std::to_string(ends[0]));
  close(ends[0]);
  count_matrix_input file = count_matrix_input::open(dir.file("m"));
  EXPECT_TRUE(piped.read_whole());
  EXPECT_TRUE(input_rows(piped).reads_at_once());
  EXPECT_FALSE(file.read_whole());
  EXPECT_FALSE(input_rows(file).reads_at_once());
  std::vector<std::int32_t> scratch(4);
  for (count_matrix_input* input : {&piped, &file}) {
    const std::span<const std::int32_t> rows = input->read_rows(0, 2, scratch);
    EXPECT_EQ(std::vector<std::int32_t>(rows.begin(), rows.end()), (std::vector<std::int32_t>{1, 2, 3, 4}));
  }
}

TEST(FileError, NamesThatWouldActOnATerminalAreQuoted) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain name.frq", "plain name.frq"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},                     // UTF-8 letters stay
      {"a\nb", R"('a\nb')"},                              // C0 controls
      {"\xc2\x9b" "2J", R"('\u{9b}2J')"},                 // C1 control, as UTF-8
      {"x\x9by", R"('x\x9by')"},                          // a byte that is not UTF-8
      {"abc\xe2\x80\xae" "fdp.exe", R"('abc\u{202e}fdp.exe')"},  // right-to-left override
      {"it's\x1b", R"('it\'s\x1b')"},
  };
  for (const auto& [name, shown] : cases) EXPECT_EQ(printable_name(name), shown);
}

TEST(CountText, WholeValuesInAnyFormAndNothingElse) {
  const std::pair<const char*, std::int32_t> counts[] = {
      {"0", 0}, {"+7", 7}, {"-0", 0}, {"-0.0e5", 0}, {"3.0", 3}, {"0.3e1", 3}, {".5e1", 5},
      {"300e-2", 3}, {"2147483647", 2147483647}, {"2.147483647e9", 2147483647},
      {"4200000000000000000000e-20", 42}, {"0000000000000000000000012", 12}, {"1e0", 1},
      // At the edges of each field: nine digits, the fast path's most; ten, past it; an exponent
      // of ten digits with as many zeros to cancel it; a long mantissa that ends in zeros.
      {"999999999", 999999999}, {"1000000000", 1000000000}, {"2000000000", 2000000000},
      {"2147483647e0", 2147483647}, {"21474836470e-1", 2147483647},
      {"10000000000000000000000000000000e-31", 1}, {"1e9", 1000000000}, {"0e999999999999999999", 0},
  };
  for (const auto& [text, value] : counts) {
    std::int32_t count = -1;
    EXPECT_EQ(parse_count(text, count), "") << text;
    EXPECT_EQ(count, value) << text;
  }
  const std::pair<const char*, const char*> faults[] = {
      {"-1", "negative value -1"},
      {"2.5", "fractional value 2.5"},
      {"1e-400", "fractional value 1e-400"},
      {"2147483648", "value 2147483648 beyond 2^31 - 1"},
      {"1e999999999999", "value 1e999999999999 beyond 2^31 - 1"},
      {"2147483647.5", "fractional value 2147483647.5"},
      {"nan", "not a number: nan"},
      {"-Infinity", "infinite value -Infinity"},
      {"0x10", "not a number: 0x10"},
      {"0x1p3", "not a number: 0x1p3"},
      {"1,5", "not a number: 1,5"},
      {"", "empty cell"},
      {"1e", "not a number: 1e"},
      {"\x1b[2J", "not a number: '\\x1b[2J'"},
      // Exponents too long for 64 bits saturate, never wrap round to a small value.
      {"1e18446744073709551616", "value 1e18446744073709551616 beyond 2^31 - 1"},
      {"1e18446744073709551617", "value 1e18446744073709551617 beyond 2^31 - 1"},
      {"5e-18446744073709551616", "fractional value 5e-18446744073709551616"},
      {"9999999999", "value 9999999999 beyond 2^31 - 1"},
      {"4294967296", "value 4294967296 beyond 2^31 - 1"},
      {"2147483648e0", "value 2147483648e0 beyond 2^31 - 1"},
      {"21474836480e-1", "value 21474836480e-1 beyond 2^31 - 1"},
      {"12345678901", "value 12345678901 beyond 2^31 - 1"},
      // Mantissas whose product in 64 bits would wrap round to a small count (2^64 + 1, 2^64).
      {"18446744073709551617", "value 18446744073709551617 beyond 2^31 - 1"},
      {"1844674407370955161.6e1", "value 1844674407370955161.6e1 beyond 2^31 - 1"},
  };
  for (const auto& [text, fault] : faults) {
    std::int32_t count = 0;
    EXPECT_EQ(parse_count(text, count), fault) << text;
  }
}

}  // namespace
}  // namespace tornavel
