// How the companions read their command lines, with CLI11, one way for both: options that take
// a value, operands (every other argument, and all after "--" however they look), -h and --help
// and --version answered before anything else is read or checked, and each mistake reported as
// one line naming it, then the usage, with exit status 2.
#ifndef TORNAVEL_PROGRAMS_COMMAND_LINE_H_
#define TORNAVEL_PROGRAMS_COMMAND_LINE_H_

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

namespace tornavel {

struct program_text {
  const char* name;      // "tornavel-show"
  const char* usage;     // the usage lines, each ending in a line break
  const char* help;      // what --help prints after the usage
  const char* operands;  // what the two operands are, for a command line without them
};

// Reads argv into the options added to app and into operands, which must be two. Returns the
// exit status where the program is done (0 after the help or the version, 1 if standard output
// did not take them, 2 after a mistake is reported); nothing where it goes on.
std::optional<int> read_command_line(CLI::App& app, std::vector<std::string>& operands, int argc, char** argv,
                                     const program_text& text);

// Adds an option taking "yes" or "no" into value.
void add_yes_no(CLI::App& app, const std::string& name, std::optional<bool>& value);

}  // namespace tornavel

#endif  // TORNAVEL_PROGRAMS_COMMAND_LINE_H_
