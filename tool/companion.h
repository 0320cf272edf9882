// What the companion programs (tornavel-show, tornavel-convert) share: one way to fail.
#ifndef TORNAVEL_TOOL_COMPANION_H_
#define TORNAVEL_TOOL_COMPANION_H_

#include <functional>
#include <string>
#include <vector>

#include "matrix_files/publication.h"

namespace tornavel {

// A wrong command line, found after the options were read.
struct usage_error {
  std::string message;
};

// Runs body and returns the exit status it earns: 0 when it returns, 2 for a usage_error (its
// message and then usage on standard error), 1 for any other failure (one line on standard
// error). Every line starts with program and ": ".
int report_failures(const char* program, const char* usage, const std::function<void()>& body);

// How the program publishes: it says on standard error when it waits for another run.
publish_options publishing_for(const char* program);

// Finishes a publication an interrupted run left beside any of the files named, before the
// program reads them or writes beside them.
void finish_publications_beside(const char* program, const std::vector<std::string>& paths);

}  // namespace tornavel

#endif  // TORNAVEL_TOOL_COMPANION_H_
