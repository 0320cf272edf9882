// The journal that keeps the pair whole: planted journals of every kind and size are refused at
// once or settled, a run stopped at any step of a journal's life is settled by the next program,
// no state a program of the project makes can wedge a folder, and a change of a file's metadata
// alone (a link a publication makes) refuses no run or view.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/expected_files.h"
#include "tests/random_matrices.h"
#include "tests/scratch_dir.h"
#include "tests/support.h"

namespace {

using testing_support::bytes;
using testing_support::files_for;
using testing_support::outcome;
using testing_support::read_bytes;
using testing_support::run_script;
using testing_support::scratch_dir;
using testing_support::words;
using testing_support::write_bytes;

const bytes old_order{'o', 'l', 'd'};
const bytes old_matrix{'o', 'l', 'd', '!'};
const std::string header = "tornavel journal 1\n";

bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

// A folder with an input, the old pair and the new pair expected of the input.
struct folder {
  scratch_dir dir;
  testing_support::expected_files fresh = files_for(testing_support::random_matrix(testing_support::shape::uniform, 3, 40));
  folder() {
    write_bytes(dir.file("in.frq"), fresh.input);
    write_bytes(dir.file("tornavel.ord"), old_order);
    write_bytes(dir.file("tornavel.frq"), old_matrix);
  }
  bool holds_old_pair() const {
    return read_bytes(dir.file("tornavel.ord")) == old_order && read_bytes(dir.file("tornavel.frq")) == old_matrix;
  }
  bool holds_new_pair() const {
    return read_bytes(dir.file("tornavel.ord")) == fresh.order && read_bytes(dir.file("tornavel.frq")) == fresh.matrix;
  }
  // Files other than the input and the pair: second names (another name of an output's file)
  // and the journal must never stay; a temporary of a run stopped before its journal was in
  // place may.
  std::vector<std::string> lasting_leftovers() const {
    std::vector<std::string> out;
    struct stat order, matrix;
    stat(dir.file("tornavel.ord").c_str(), &order);
    stat(dir.file("tornavel.frq").c_str(), &matrix);
    for (const std::string& name : dir.names()) {
      struct stat status;
      if (name == "in.frq" || name == "tornavel.ord" || name == "tornavel.frq") continue;
      lstat(dir.file(name).c_str(), &status);
      const bool second_name = status.st_ino == order.st_ino || status.st_ino == matrix.st_ino;
      if (second_name || name.rfind("tornavel.journal", 0) == 0) out.push_back(name);
    }
    return out;
  }
};

// Each program, as it is run in such a folder: the tool ranks, the viewer reads the matrix, the
// converter writes beside it.
struct program {
  const char* binary;
  const char* args;
};
const program programs[] = {{TORNAVEL_BINARY, "in.frq"},
                            {TORNAVEL_SHOW_BINARY, "matrix in.frq"},
                            {TORNAVEL_CONVERT_BINARY, "in.frq out.mtx"}};

outcome run_bounded(const scratch_dir& dir, const program& p) {
  // Killed rather than left to hang: a journal that makes a program wait fails the test.
  return run_script(dir, std::string("timeout -s KILL 20 '") + p.binary + "' " + p.args);
}

TEST(Journal, PlantedJournalsThatAreNoJournalAreRefusedAtOnceWithWhatTheyAre) {
  struct planted {
    std::string setup, says;
  };
  const std::vector<planted> cases = {
      {"mkfifo tornavel.journal", "tornavel.journal: is a FIFO, not a journal"},
      {"mkdir tornavel.journal", "tornavel.journal: is a folder, not a journal"},
      {"ln -s tornavel.ord tornavel.journal", "tornavel.journal: is a symbolic link, not a journal"},
      {"ln -s nowhere tornavel.journal", "tornavel.journal: is a symbolic link, not a journal"},
      {"/usr/bin/python3 -c \"import socket; socket.socket(socket.AF_UNIX).bind('tornavel.journal')\"",
       "tornavel.journal: is a socket, not a journal"},
      {"printf 'hello' > tornavel.journal", "tornavel.journal: not a journal this program can carry out"},
      // Forged journals naming what no publication names: a file outside the outputs' siblings,
      // a name outside the folder. Nothing is moved.
      {"printf 'tornavel journal 1\\nF\\ntornavel.ord\\0precious\\0\\0end\\n' > tornavel.journal",
       "tornavel.journal: not a journal this program can carry out"},
      {"printf 'tornavel journal 1\\nF\\n../tornavel.ord\\0../tornavel.ord.ABCDEF\\0\\0end\\n' > tornavel.journal",
       "tornavel.journal: not a journal this program can carry out"},
      {"printf 'tornavel journal 1\\nB\\ntornavel.ord\\0tornavel.ord.ABCDEF\\0precious\\0end\\n' > tornavel.journal",
       "tornavel.journal: not a journal this program can carry out"},
  };
  for (const program& p : programs) {
    for (const planted& c : cases) {
      folder f;
      write_bytes(f.dir.file("precious"), text("mine"));
      ASSERT_EQ(run_script(f.dir, c.setup).status, 0) << c.setup;
      const outcome out = run_bounded(f.dir, p);
      EXPECT_EQ(out.status, 1) << p.binary << ": " << c.setup;
      EXPECT_NE(out.errors.find(c.says), std::string::npos) << p.binary << ": " << c.setup << "\n" << out.errors;
      EXPECT_TRUE(f.holds_old_pair()) << c.setup;
      EXPECT_EQ(read_bytes(f.dir.file("precious")), text("mine")) << c.setup;
    }
  }
}

TEST(Journal, AJournalCutShortAnywhereInItsHeaderMeansNoRenameHappenedAndIsCleared) {
  // Every length of the header, from none: what a run stopped while writing it would leave.
  const std::string whole = header + "F\n";
  for (std::size_t length = 0; length < whole.size(); ++length) {
    for (const program& p : programs) {
      folder f;
      write_bytes(f.dir.file("tornavel.journal"), text(whole.substr(0, length)));
      const outcome out = run_bounded(f.dir, p);
      EXPECT_EQ(out.status, 0) << p.binary << " after " << length << " bytes: " << out.errors;
      EXPECT_FALSE(std::filesystem::exists(f.dir.file("tornavel.journal"))) << length;
      EXPECT_TRUE(p.binary == std::string(TORNAVEL_BINARY) ? f.holds_new_pair() : f.holds_old_pair()) << length;
    }
  }
}

TEST(Journal, ARunStoppedAtEveryStepOfItsPublicationLeavesAWholePairForTheNextProgram) {
  // strace kills the run at the n-th call of each kind the publication makes (writing and
  // linking in the journal, making second names, flushing, renaming forward and back, tidying
  // up); the next program to read there settles what the journal says. Every stop ends in the
  // old pair or the new one, with no journal and no second name left; a temporary may stay only
  // where the run stopped before its journal was in place.
  scratch_dir probe;
  if (run_script(probe, "strace -V").status != 0) GTEST_SKIP() << "no strace here";
  const std::vector<std::string> steps = {"write", "linkat", "fsync", "rename", "pwrite64", "renameat", "unlinkat"};
  int stopped = 0;
  for (const std::string& step : steps) {
    for (int n = 1; n <= 8; ++n) {
      for (const bool failing_rename : {false, true}) {
        folder f;
        // With the second forward rename failing, the run takes its publication back: the steps
        // of going back are stopped too.
        const std::string fail = failing_rename ? " -e inject=rename:error=EPERM:when=2" : "";
        const outcome run = run_script(f.dir, "strace -f -qq -o /dev/null" + fail + " -e inject=" + step +
                                                  ":signal=KILL:when=" + std::to_string(n) + " \"$TORNAVEL\" in.frq");
        stopped += run.status != 0 && run.status != 1;
        const outcome next = run_script(f.dir, "'" TORNAVEL_SHOW_BINARY "' matrix in.frq >/dev/null");
        const std::string what = step + " " + std::to_string(n) + (failing_rename ? ", a rename failing" : "");
        EXPECT_TRUE(f.holds_old_pair() || f.holds_new_pair()) << what;
        EXPECT_EQ(f.lasting_leftovers(), std::vector<std::string>{}) << what << "\n" << next.errors;
      }
    }
  }
  EXPECT_GT(stopped, 20);  // the injections did stop runs
}

TEST(Journal, ATemporaryRemovedBeforeItsRenameSendsThePublicationBack) {
  // The run stops at its first rename; its matrix's temporary is then removed, as the README
  // says a temporary may be. Finishing would publish the new order beside the old matrix: the
  // publication goes back instead, and the old pair stays whole.
  folder f;
  if (run_script(f.dir, "strace -V").status != 0) GTEST_SKIP() << "no strace here";
  run_script(f.dir, "strace -f -qq -o /dev/null -e inject=rename:signal=KILL:when=1 \"$TORNAVEL\" in.frq");
  ASSERT_TRUE(std::filesystem::exists(f.dir.file("tornavel.journal")));
  run_script(f.dir, "for t in tornavel.frq.??????; do cmp -s $t tornavel.frq || rm $t; done");
  const outcome next = run_script(f.dir, "'" TORNAVEL_SHOW_BINARY "' matrix in.frq >/dev/null");
  EXPECT_EQ(next.status, 0) << next.errors;
  EXPECT_TRUE(f.holds_old_pair());
  EXPECT_EQ(f.lasting_leftovers(), std::vector<std::string>{});
}

TEST(Journal, ALinkAddedAndRemovedWhileAFileIsReadRefusesNoRunOrViewAndARewriteIsRefused) {
  // The program is stopped as it turns from its first pass over the rows to its second (strace
  // sends SIGSTOP at its one mincore call); while it stands still the file gets a second name
  // and loses it, as a publication beside it does, or is rewritten with the same size and
  // time; then it goes on.
  scratch_dir probe;
  if (run_script(probe, "strace -V").status != 0) GTEST_SKIP() << "no strace here";
  struct change {
    std::string command;
    bool refused;
  };
  const std::vector<change> changes = {
      {"ln in.frq other && rm other", false},
      {"t=$(stat -c %y in.frq); printf '\\377' | dd of=in.frq bs=1 seek=10 conv=notrunc 2>/dev/null; "
       "touch -d \"$t\" in.frq", true},
  };
  const std::vector<std::string> commands = {"\"$TORNAVEL\" in.frq", "'" TORNAVEL_SHOW_BINARY "' matrix in.frq"};
  for (const change& c : changes) {
    for (const std::string& command : commands) {
      folder f;
      // Once strace has seen the program stop (its log says so), the file is changed and the
      // program let go on.
      const outcome out = run_script(
          f.dir, "rm -f .log; ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o .log -e trace=mincore -e signal=SIGSTOP -e inject=mincore:signal=STOP:when=1 " +
                     command + " >/dev/null & s=$!; "
                     "for i in $(seq 3000); do grep -q 'stopped by SIGSTOP' .log 2>/dev/null && break; sleep 0.01; done; " +
                     c.command + "; kill -CONT $(pgrep -P $s); wait $s; s=$?; rm .log; exit $s");
      EXPECT_EQ(out.status, c.refused ? 1 : 0) << command << " / " << c.command << ": " << out.errors;
      if (c.refused) {
        EXPECT_NE(out.errors.find("file changed while it was read"), std::string::npos) << out.errors;
      }
    }
  }
}

TEST(Journal, ASharedStickyFolderCannotBeWedgedNorItsLinksFollowed) {
  // As root, with a folder like /tmp (sticky, everyone's), and users 65534 and 65533: another
  // user's output is refused before any work, not half replaced; a journal an older run left
  // going back, whose second name now belongs to another user, is settled and says once what it
  // left; another user's link cannot make the converter write over a file it points to.
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as other users";
  folder f;
  const std::string as_other = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  ASSERT_EQ(run_script(f.dir, "chmod 1777 . && chown 65534 tornavel.ord && chown 65533 tornavel.frq && "
                              "chmod 666 tornavel.frq in.frq").status, 0);
  const outcome refused = run_script(f.dir, as_other + "\"$TORNAVEL\" in.frq");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.errors, "tornavel: tornavel.frq: belongs to another user, in a sticky folder where only its owner "
                            "can replace it\n");
  EXPECT_TRUE(f.holds_old_pair());
  EXPECT_EQ(f.dir.names().size(), 3u);

  // The journal of a publication going back: its matrix is back (the second name is the same
  // file) and only tidying is left, which the kernel will not let this user do.
  ASSERT_EQ(run_script(f.dir, "ln tornavel.frq tornavel.frq.ABCDEF && "
                              "printf 'tornavel journal 1\\nB\\ntornavel.frq\\0tornavel.frq.XYZXYZ\\0tornavel.frq.ABCDEF\\0end\\n' "
                              "> tornavel.journal && chown 65534 tornavel.journal").status, 0);
  const outcome settled = run_script(f.dir, as_other + "'" TORNAVEL_SHOW_BINARY "' matrix in.frq >/dev/null");
  EXPECT_EQ(settled.status, 0) << settled.errors;
  EXPECT_NE(settled.errors.find("tornavel.frq.ABCDEF, a second name of the old tornavel.frq, could not be removed"),
            std::string::npos) << settled.errors;
  EXPECT_FALSE(std::filesystem::exists(f.dir.file("tornavel.journal")));
  const outcome again = run_script(f.dir, as_other + "'" TORNAVEL_SHOW_BINARY "' matrix in.frq >/dev/null");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.errors, "");  // said once

  // Another user's link in the shared folder to root's private file elsewhere: the converter
  // replaces the link; the file stays as it was.
  scratch_dir elsewhere;
  write_bytes(elsewhere.file("private"), text("secret"));
  chmod(elsewhere.file("private").c_str(), 0600);
  ASSERT_EQ(run_script(f.dir, "ln -s '" + elsewhere.file("private") + "' out.csv && chown -h 65534 out.csv").status, 0);
  const outcome converted = run_script(f.dir, "'" TORNAVEL_CONVERT_BINARY "' in.frq out.csv");
  EXPECT_EQ(read_bytes(elsewhere.file("private")), text("secret")) << converted.errors;
}

}  // namespace
