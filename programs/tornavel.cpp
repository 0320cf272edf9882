// tornavel MATRIX_FILE: ranks the columns of a count matrix by the log of their multinomial
// coefficients and writes tornavel.ord and tornavel.frq in the current directory.
//
// The tool takes no options: its one argument is a path, taken as it is.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "job/rank_job.h"
#include "programs/program.h"
#include "programs/signals.h"

namespace {

constexpr const char* usage = "usage: tornavel MATRIX_FILE\n";

constexpr const char* help =
    "Ranks the columns of a count matrix by the log of their multinomial coefficients and\n"
    "writes tornavel.ord (the columns in rank order) and tornavel.frq (the matrix in rank\n"
    "order on both axes) in the current directory. man tornavel has the rest.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace tornavel;
  if (argc < 2) {
    std::fputs(usage, stderr);
    return exit_usage;
  }
  const std::string input_path = argv[1];
  // A file named --help is ranked like any other; only where there is none do these names ask
  // about the tool.
  if ((input_path == "--help" || input_path == "-h" || input_path == "--version") &&
      access(argv[1], F_OK) != 0 && errno == ENOENT) {
    return print_answer("tornavel", input_path == "--version" ? std::string("tornavel ") + program_version() + "\n"
                                                              : std::string(usage) + help);
  }
  // Options belong to the companions; a name like one that is no file was meant as one.
  if (input_path.size() > 1 && input_path[0] == '-' && access(argv[1], F_OK) != 0 && errno == ENOENT) {
    std::fprintf(stderr,
                 "tornavel: %s: tornavel takes no options (tornavel-show draws and labels, tornavel-convert "
                 "reads other formats)\n%s",
                 input_path.c_str(), usage);
    return exit_usage;
  }
  handle_signals();
  return run_program("tornavel", usage, input_path, [&] {
    const helper_lease helper;
    run_job(input_path, ".", {publishing_for("tornavel"), helper.get()});
  });
}
