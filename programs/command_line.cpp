#include "programs/command_line.h"

#include <cstdio>

#include "programs/program.h"

namespace tornavel {
namespace {

// What is wrong with the command line, or "" where nothing is.
std::string mistake_in(CLI::App& app, std::vector<std::string>& operands, int argc, char** argv,
                       const char* operands_wanted) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::ArgumentMismatch& error) {
    // "--labels: 1 required TEXT missing": an option at the end, without its value.
    const std::string what = error.what();
    return "option " + what.substr(0, what.find(':')) + " needs a value";
  } catch (const CLI::CallForHelp&) {
    throw;
  } catch (const CLI::CallForVersion&) {
    throw;
  } catch (const CLI::ParseError& error) {
    return error.what();
  }
  // What CLI11 left: after "--", operands however they look; before, an unknown option.
  const std::vector<std::string> extras = app.remaining();
  for (auto extra = extras.begin(); extra != extras.end(); ++extra) {
    if (*extra == "--") {
      operands.insert(operands.end(), extra + 1, extras.end());
      break;
    }
    return (extra->size() > 1 && (*extra)[0] == '-' ? "unknown option " : "unexpected argument ") + *extra;
  }
  if (operands.size() > 2) return "unexpected argument " + operands[2];
  if (operands.size() < 2) return std::string("expected ") + operands_wanted;
  return "";
}

}  // namespace

void add_yes_no(CLI::App& app, const std::string& name, std::optional<bool>& value) {
  app.add_option_function<std::string>(name, [&value, name](const std::string& text) {
    if (text != "yes" && text != "no") throw CLI::ValidationError(name, "takes yes or no, not " + text);
    value = text == "yes";
  });
}

std::optional<int> read_command_line(CLI::App& app, std::vector<std::string>& operands, int argc, char** argv,
                                     const program_text& text) {
  app.name(text.name);
  app.set_help_flag("-h,--help");
  app.set_version_flag("--version", "");
  app.add_option("operands", operands);
  app.allow_extras(true);
  std::string mistake;
  try {
    mistake = mistake_in(app, operands, argc, argv, text.operands);
  } catch (const CLI::CallForHelp&) {
    return print_answer(text.name, std::string(text.usage) + text.help);
  } catch (const CLI::CallForVersion&) {
    return print_answer(text.name, std::string(text.name) + " " + program_version() + "\n");
  }
  if (mistake.empty()) return std::nullopt;
  std::fprintf(stderr, "%s: %s\n%s", text.name, mistake.c_str(), text.usage);
  return exit_usage;
}

}  // namespace tornavel
