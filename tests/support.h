// What the test files share: the programs, run in a scratch folder; the worked example; and
// whether this build runs under AddressSanitizer.
#ifndef TORNAVEL_TESTS_SUPPORT_H_
#define TORNAVEL_TESTS_SUPPORT_H_

#include <string>

#include "tests/scratch_dir.h"

namespace testing_support {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool address_sanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool address_sanitizer = true;
#else
inline constexpr bool address_sanitizer = false;
#endif
#else
inline constexpr bool address_sanitizer = false;
#endif

// Each program with args, in dir, after prefix (limits, environment: see run_in).
inline outcome run_tool(const scratch_dir& dir, const std::string& args, const std::string& prefix = "") {
  return run_in(dir, TORNAVEL_BINARY, args, prefix);
}
inline outcome run_show(const scratch_dir& dir, const std::string& args, const std::string& prefix = "") {
  return run_in(dir, TORNAVEL_SHOW_BINARY, args, prefix);
}
inline outcome run_convert(const scratch_dir& dir, const std::string& args, const std::string& prefix = "") {
  return run_in(dir, TORNAVEL_CONVERT_BINARY, args, prefix);
}

// The worked example: rows (2, 0, 1), (2, 3, 0), (0, 0, 1), ranked 0, 2, 1.
inline const bytes worked_input = words({3, 3, 2, 0, 1, 2, 3, 0, 0, 0, 1});

}  // namespace testing_support

#endif  // TORNAVEL_TESTS_SUPPORT_H_
