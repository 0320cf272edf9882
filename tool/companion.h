// What the companion programs (tornavel-show, tornavel-convert) share: one way to fail.
#ifndef TORNAVEL_TOOL_COMPANION_H_
#define TORNAVEL_TOOL_COMPANION_H_

#include <functional>
#include <string>

namespace tornavel {

// A wrong command line, found after the options were read.
struct usage_error {
  std::string message;
};

// Runs body and returns the exit status it earns: 0 when it returns, 2 for a usage_error (its
// message and then usage on standard error), 1 for any other failure (one line on standard
// error). Every line starts with program and ": ".
int report_failures(const char* program, const char* usage, const std::function<void()>& body);

}  // namespace tornavel

#endif  // TORNAVEL_TOOL_COMPANION_H_
