// What the three programs (tornavel, tornavel-show, tornavel-convert) share: their exit
// statuses, their version, one way to fail, and the names of the tool's outputs.
#ifndef TORNAVEL_TOOL_PROGRAM_H_
#define TORNAVEL_TOOL_PROGRAM_H_

#include <functional>
#include <string>
#include <vector>

#include "matrix_files/publication.h"

namespace tornavel {

// Exit statuses: success, a file or memory failure, a wrong command line.
inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

// The tool's fixed output names, in the folder it runs in.
inline constexpr const char* order_file_name = "tornavel.ord";
inline constexpr const char* matrix_file_name = "tornavel.frq";

// The version, as --version prints it after the program's name.
const char* program_version();

// A wrong command line, found after the options were read.
struct usage_error {
  std::string message;
};

// Runs body and returns the exit status it earns: 0 when it returns and standard output took
// everything written to it; 2 for a usage_error (its message, then usage, on standard error);
// 1 for any other failure, one line on standard error. Every line starts with program and ": ";
// memory that cannot be had is "not enough memory", after subject and ": " if subject is not
// empty (the file the program was working on).
int run_program(const char* program, const char* usage, const std::string& subject,
                const std::function<void()>& body);

// How the program publishes: it says on standard error when it waits for another run, and what
// a publication left behind.
publish_options publishing_for(const char* program);

// Finishes a publication an interrupted run left beside any of the files named, before the
// program reads them or writes beside them.
void finish_publications_beside(const char* program, const std::vector<std::string>& paths);

}  // namespace tornavel

#endif  // TORNAVEL_TOOL_PROGRAM_H_
