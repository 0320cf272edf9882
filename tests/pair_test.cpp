// The two outputs belong together after any run: concurrent runs, a rename that fails, signals,
// limits and inputs that change under the reader never leave a mismatched pair or a temporary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/expected_files.h"
#include "tests/random_matrices.h"
#include "tests/scratch_dir.h"
#include "tests/support.h"

namespace {

using testing_support::bytes;
using testing_support::outcome;
using testing_support::read_bytes;
using testing_support::scratch_dir;
using testing_support::words;
using testing_support::write_bytes;

using testing_support::address_sanitizer;
using testing_support::run_tool;

using expected_pair = testing_support::expected_files;
using testing_support::files_for;

// Writes the expected pairs beside the inputs, as .NAME.ord and .NAME.frq, for scripts to cmp.
void write_expected(const scratch_dir& dir, const std::string& name, const expected_pair& p) {
  write_bytes(dir.file("." + name + ".ord"), p.order);
  write_bytes(dir.file("." + name + ".frq"), p.matrix);
}

const char* const same_as_a_or_b =
    "{ cmp -s tornavel.ord .a.ord && cmp -s tornavel.frq .a.frq; } || "
    "{ cmp -s tornavel.ord .b.ord && cmp -s tornavel.frq .b.frq; }";

TEST(PairStaysWhole, ConcurrentRunsInOneFolder) {
  scratch_dir dir;
  using testing_support::random_matrix;
  const expected_pair a = files_for(random_matrix(testing_support::shape::uniform, 1, 60));
  const expected_pair b = files_for(random_matrix(testing_support::shape::sparse, 2, 60));
  write_bytes(dir.file("a.frq"), a.input);
  write_bytes(dir.file("b.frq"), b.input);
  write_expected(dir, "a", a);
  write_expected(dir, "b", b);
  const std::string rounds = address_sanitizer ? "60" : "200";
  const outcome out = testing_support::run_script(
      dir, "for i in $(seq " + rounds + "); do \"$TORNAVEL\" a.frq & \"$TORNAVEL\" b.frq & " +
               "wait || exit 1; " + same_as_a_or_b + " || exit 3; " +
               "[ $(ls | wc -l) -eq 4 ] || exit 4; done");
  EXPECT_EQ(out.status, 0) << "1: a run failed, 3: a mismatched pair, 4: a stray file\n"
                           << out.errors;
}

TEST(PairStaysWhole, ASecondRenameThatFailsPutsTheFirstBack) {
  // An immutable "tornavel.frq" is an obstacle only the second rename meets. Only root can set
  // the flag, and only some file systems keep it.
  scratch_dir dir;
  write_bytes(dir.file("in.frq"), words({3, 3, 2, 0, 1, 2, 3, 0, 0, 0, 1}));
  write_bytes(dir.file("tornavel.ord"), {'o', 'l', 'd'});
  write_bytes(dir.file("tornavel.frq"), {'o', 'l', 'd', '!'});
  if (geteuid() != 0 || testing_support::run_script(dir, "chattr +i tornavel.frq").status != 0) {
    GTEST_SKIP() << "cannot make a file immutable here";
  }
  const outcome out = run_tool(dir, "in.frq");
  testing_support::run_script(dir, "chattr -i tornavel.frq");
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.errors, "tornavel: tornavel.frq: Operation not permitted\n");
  EXPECT_EQ(read_bytes(dir.file("tornavel.ord")), (bytes{'o', 'l', 'd'}));
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.frq", "tornavel.frq", "tornavel.ord"}));
}

TEST(PairStaysWhole, LimitsEndInAMessageOrInSuccess) {
  struct limited {
    std::string prefix;
    int status;
    std::string errors;
  };
  const std::vector<limited> cases = {
      // A 1-block file-size limit with SIGXFSZ at its default, as a plain shell leaves it.
      {"ulimit -f 2 &&", 1, "tornavel: tornavel.frq: File too large\n"},
      // No second thread to be had: a stack limit no address-space limit leaves room for.
      // (The sanitizers reserve terabytes of address space up front.)
      {address_sanitizer ? "" : "ulimit -s 4000000 && ulimit -v 1000000 &&", 0, ""},
  };
  for (const limited& c : cases) {
    scratch_dir dir;
    std::vector<std::int32_t> big{40, 40};
    big.resize(2 + 40 * 40, 3);
    write_bytes(dir.file("in.frq"), words(big));
    const outcome out = run_tool(dir, "in.frq", c.prefix);
    EXPECT_EQ(out.status, c.status) << c.prefix;
    EXPECT_EQ(out.errors, c.errors) << c.prefix;
    EXPECT_EQ(dir.names().size(), c.status == 0 ? 3u : 1u) << c.prefix;
  }
}

TEST(PairStaysWhole, SignalsAndAShrinkingInputLeaveNoTrace) {
  // A few megabytes, so that the interruptions land at different moments of a run: while it
  // reads, writes or publishes, or after it has ended.
  scratch_dir dir;
  const std::int32_t side = address_sanitizer ? 512 : 1536;
  std::vector<std::int32_t> input{side, side};
  for (std::int32_t i = 0; i < side * side; ++i) input.push_back((i * 7 + i / side) % 11);
  write_bytes(dir.file("in.frq"), words(input));
  ASSERT_EQ(run_tool(dir, "in.frq").status, 0);
  const expected_pair fresh{{}, read_bytes(dir.file("tornavel.ord")), read_bytes(dir.file("tornavel.frq"))};
  const expected_pair old{{}, {'o', 'l', 'd'}, {'o', 'l', 'd', '!'}};
  write_expected(dir, "a", fresh);
  write_expected(dir, "b", old);
  struct interruption {
    std::string action;
    std::vector<int> statuses;
    std::vector<std::string> messages;
  };
  const std::vector<interruption> interruptions = {
      {"kill -TERM $p", {0, 143}, {""}},
      {"kill -INT $p", {0, 130}, {""}},
      {"kill -HUP $p", {0, 129}, {""}},
      {"kill -USR1 $p", {0, 138}, {""}},
      {"kill -ALRM $p", {0, 142}, {""}},
      {"kill -XCPU $p", {0, 152}, {""}},
      {"kill -RTMIN+2 $p", {0, 164}, {""}},
      {"truncate -s 100000 input.frq", {0, 1},
       {"", "tornavel: input.frq: file is shorter than its header says\n",
        "tornavel: input.frq: file changed while it was read\n"}},
  };
  for (const interruption& i : interruptions) {
    for (const char* moment : {"0", "0.01", "0.03", "0.1"}) {
      write_bytes(dir.file("tornavel.ord"), old.order);
      write_bytes(dir.file("tornavel.frq"), old.matrix);
      const outcome out = testing_support::run_script(
          dir, std::string("cp in.frq input.frq; : >.errors; \"$TORNAVEL\" input.frq 2>>.errors & p=$!; ") +
                   "sleep " + moment + "; " + i.action + " 2>/dev/null; { wait $p; } 2>/dev/null; status=$?; " +
                   "rm input.frq; cat .errors >&2; rm .errors; " + same_as_a_or_b +
                   " || exit 3; exit $status");
      const std::string what = i.action + " after " + moment + " s";
      EXPECT_NE(std::find(i.statuses.begin(), i.statuses.end(), out.status), i.statuses.end())
          << what << ": status " << out.status << " " << out.errors;
      EXPECT_NE(std::find(i.messages.begin(), i.messages.end(), out.errors), i.messages.end())
          << what << ": " << out.errors;
      EXPECT_EQ(dir.names().size(), 7u) << what;  // in.frq, the outputs, the expected pairs
    }
  }
}

TEST(PairStaysWhole, ModesNamesAndLengthlessInputs) {
  scratch_dir dir;
  write_bytes(dir.file("in"), words({3, 3, 2, 0, 1, 2, 3, 0, 0, 0, 1}));
  ASSERT_EQ(run_tool(dir, "in").status, 0);
  // Replaced outputs keep their modes, as writing into them would have.
  ASSERT_EQ(chmod(dir.file("tornavel.ord").c_str(), 0600), 0);
  ASSERT_EQ(chmod(dir.file("tornavel.frq").c_str(), 0604), 0);
  ASSERT_EQ(run_tool(dir, "in", "umask 022 &&").status, 0);
  struct stat status;
  ASSERT_EQ(stat(dir.file("tornavel.ord").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(dir.file("tornavel.frq").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0604u);

  // A name with a control character is quoted, so that a message stays one line.
  EXPECT_EQ(run_tool(dir, "\"$(printf 'new\\nline')\"").errors,
            "tornavel: 'new\\nline': No such file or directory\n");
  // A device says its length is 0 but has counts to read: it is read as a stream.
  EXPECT_EQ(run_tool(dir, "/dev/zero").status, 0);
  EXPECT_EQ(read_bytes(dir.file("tornavel.frq")), words({0, 0}));
}

TEST(PairStaysWhole, CountsRewrittenDuringARunNeitherCrashItNorGetPublishedNegative) {
  // Another process rewrites counts of the input through a shared mapping while the tool reads
  // it: huge, negative and small values in turn, so that a count checked once and read again
  // would index far outside the table.
  scratch_dir dir;
  const std::int32_t side = address_sanitizer ? 256 : 1024;
  std::vector<std::int32_t> input{side, side};
  input.resize(2 + static_cast<std::size_t>(side) * side, 3);
  write_bytes(dir.file("in.frq"), words(input));
  const int fd = open(dir.file("in.frq").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  const std::size_t size = 4 * input.size();
  auto* mapped = static_cast<std::int32_t*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  ASSERT_NE(mapped, MAP_FAILED);
  std::atomic<bool> stop = false;
  std::thread writer([&] {
    std::mt19937 random(7);
    const std::int32_t values[] = {2147483647, -1, 5, 1 << 20};
    while (!stop) {
      // One count at a time, flipped many times over, so that some flip falls between a
      // check of it and a use.
      volatile std::int32_t* at = mapped + 2 + random() % (input.size() - 2);
      for (unsigned i = 0; i < 100000; ++i) *at = values[i % 4];
      *at = 3;
    }
  });
  for (int run = 0; run < 20; ++run) {
    const outcome out = run_tool(dir, "in.frq");
    ASSERT_TRUE(out.status == 0 || out.status == 1) << out.status << " " << out.errors;
    if (out.status != 0) continue;
    const bytes published = read_bytes(dir.file("tornavel.frq"));
    for (std::size_t at = 8; at < published.size(); at += 4) {
      ASSERT_LT(published[at + 3], 0x80) << "a negative count at byte " << at;
    }
  }
  stop = true;
  writer.join();
  munmap(mapped, size);
  close(fd);
}

TEST(PairStaysWhole, FoldersThatCannotTakeAPairAreRefusedBeforeAnyWork) {
  // Run as another user (root ignores permissions) in a folder that cannot be read, so neither
  // locked nor flushed; and, as root, in an append-only folder and beside an immutable output,
  // which cannot be kept while it is replaced. Nothing is replaced and nothing is left.
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to run as another user and set attributes";
  struct folder_case {
    std::string setup, prefix, undo, errors;
  };
  const std::vector<folder_case> cases = {
      {"chmod 0733 .", "setpriv --reuid=65534 --regid=65534 --clear-groups", "chmod 0755 .",
       "tornavel: .: Permission denied (outputs are published only in a folder that can be read, "
       "so that runs can lock it and flush it to the disk)\n"},
      {"chattr +a .", "", "chattr -a .", "tornavel: .: folder is append-only: no file in it can be replaced\n"},
      {"chmod 0755 .", "setpriv --reuid=65534 --regid=65534 --clear-groups", ":",
       "tornavel: .: Permission denied (the outputs, tornavel.ord and tornavel.frq, are written to "
       "the current folder)\n"},
      {"chattr +i tornavel.ord", "", "chattr -i tornavel.ord", "tornavel: tornavel.ord: Operation not permitted\n"},
  };
  for (const folder_case& c : cases) {
    // The folder under test is a subfolder, so that the attributes do not touch what the test
    // itself writes.
    scratch_dir dir;
    chmod(dir.path().c_str(), 0755);
    std::filesystem::create_directory(dir.file("w"));
    write_bytes(dir.file("w/in.frq"), words({3, 3, 2, 0, 1, 2, 3, 0, 0, 0, 1}));
    write_bytes(dir.file("w/tornavel.ord"), {'o', 'l', 'd'});
    write_bytes(dir.file("w/tornavel.frq"), {'o', 'l', 'd', '!'});
    const outcome out = testing_support::run_script(
        dir, "cd w && " + c.setup + " || exit 99; " + c.prefix + " \"$TORNAVEL\" in.frq; status=$?; " +
                 c.undo + "; exit $status");
    if (out.status == 99) {
      std::printf("skipped: %s does not work here\n", c.setup.c_str());
      continue;
    }
    EXPECT_EQ(out.status, 1) << c.setup;
    EXPECT_EQ(out.errors, c.errors) << c.setup;
    EXPECT_EQ(read_bytes(dir.file("w/tornavel.ord")), (bytes{'o', 'l', 'd'})) << c.setup;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("w")),
                            std::filesystem::directory_iterator()), 3) << c.setup;
  }
}

// Starts the tool on in.frq in dir, its standard error in dir/.err, with SIGHUP ignored if asked
// (as nohup leaves it); the test is its parent, and sees how it ends.
pid_t start_tool(const scratch_dir& dir, bool hangup_ignored) {
  std::filesystem::remove(dir.file(".err"));  // what an earlier run said is not this one's
  const pid_t pid = fork();
  if (pid == 0) {
    const int err = open(dir.file(".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err < 0 || dup2(err, 2) < 0 || chdir(dir.path().c_str()) != 0) _exit(126);
    if (hangup_ignored) signal(SIGHUP, SIG_IGN);
    execl(TORNAVEL_BINARY, "tornavel", "in.frq", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// Waits until the run has said it waits for the folder: a state it reaches, not a time.
void wait_until_waiting(const scratch_dir& dir) {
  const std::string waiting = "waiting for another run in this folder";
  for (;;) {
    if (std::filesystem::exists(dir.file(".err"))) {
      const bytes said = read_bytes(dir.file(".err"));
      if (std::string(said.begin(), said.end()).find(waiting) != std::string::npos) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

TEST(PairStaysWhole, ARunWaitsForTheFolderSayingSoAndASignalStillEndsIt) {
  // The test holds the folder's lock itself, for as long as it likes: a run says once that it
  // waits and goes on waiting; SIGTERM ends it as SIGTERM ends a process (its parent sees the
  // signal, not an exit status) and leaves no temporary; an ignored SIGHUP (nohup) stays ignored,
  // and the run publishes once the lock is let go.
  scratch_dir dir;
  write_bytes(dir.file("in.frq"), words({3, 3, 2, 0, 1, 2, 3, 0, 0, 0, 1}));
  const int folder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(folder, 0);
  ASSERT_EQ(flock(folder, LOCK_EX), 0);
  const pid_t ended = start_tool(dir, false);
  wait_until_waiting(dir);
  ASSERT_EQ(kill(ended, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(ended, &status, 0), ended);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ(dir.names(), (std::vector<std::string>{".err", "in.frq"}));

  const pid_t waited = start_tool(dir, true);
  wait_until_waiting(dir);
  // A HUP it handled would end it, whenever the lock is let go: the signal comes first.
  ASSERT_EQ(kill(waited, SIGHUP), 0);
  ASSERT_EQ(flock(folder, LOCK_UN), 0);
  ASSERT_EQ(waitpid(waited, &status, 0), waited);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const bytes said = read_bytes(dir.file(".err"));
  EXPECT_EQ(std::string(said.begin(), said.end()),
            "tornavel: waiting for another run in this folder to publish its outputs\n");
  EXPECT_EQ(dir.names(), (std::vector<std::string>{".err", "in.frq", "tornavel.frq", "tornavel.ord"}));
  close(folder);
}

}  // namespace
