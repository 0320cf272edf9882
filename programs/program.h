// What the three programs (tornavel, tornavel-show, tornavel-convert) share: their exit
// statuses, their version, and one way to end, with one message for each failure.
#ifndef TORNAVEL_PROGRAMS_PROGRAM_H_
#define TORNAVEL_PROGRAMS_PROGRAM_H_

#include <functional>
#include <string>

#include "files/publication.h"

namespace tornavel {

// Exit statuses: success, a file or memory failure, a wrong command line.
inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

// The version, as --version prints it after the program's name.
const char* program_version();

// Runs body and returns the exit status it earns: 0 when it returns and standard output took
// everything written to it; 2 for a request_error, a wrong command line (its message, then
// usage, on standard error); 1 for any other failure, one line on standard error. Every line
// starts with program and ": "; memory that cannot be had is "not enough memory", after subject
// and ": " if subject is not empty (the file the program was working on).
int run_program(const char* program, const char* usage, const std::string& subject,
                const std::function<void()>& body);

// Prints text (help, the version) on standard output and returns the exit status it earns: 0,
// or 1 with a message if standard output did not take it all (a full disk, a closed pipe).
int print_answer(const char* program, const std::string& text);

// How the program publishes: it says on standard error when it waits for another run, and what
// a publication left behind.
publish_options publishing_for(const char* program);

}  // namespace tornavel

#endif  // TORNAVEL_PROGRAMS_PROGRAM_H_
