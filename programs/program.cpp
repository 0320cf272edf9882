#include "programs/program.h"

#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>

#include "files/file_error.h"
#include "job/request_error.h"

#ifndef TORNAVEL_VERSION
#define TORNAVEL_VERSION "unknown"
#endif

namespace tornavel {

const char* program_version() { return TORNAVEL_VERSION; }

namespace {

// Output may have gone to a full disk or a closed pipe: that is a failure too, said once.
int standard_output_status(const char* program) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: standard output: write error\n", program);
    return exit_failure;
  }
  return exit_success;
}

}  // namespace

int run_program(const char* program, const char* usage, const std::string& subject,
                const std::function<void()>& body) {
  const std::string about = subject.empty() ? "" : printable_name(subject) + ": ";
  try {
    body();
  } catch (const request_error& error) {
    std::fprintf(stderr, "%s: %s\n%s", program, error.what(), usage);
    return exit_usage;
  } catch (const file_error& error) {
    std::fprintf(stderr, "%s: %s\n", program, error.what());
    return exit_failure;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "%s: %snot enough memory\n", program, about.c_str());
    return exit_failure;
  } catch (const std::length_error&) {
    std::fprintf(stderr, "%s: %snot enough memory\n", program, about.c_str());
    return exit_failure;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s%s\n", program, about.c_str(), error.what());
    return exit_failure;
  }
  return standard_output_status(program);
}

int print_answer(const char* program, const std::string& text) {
  std::fputs(text.c_str(), stdout);
  return standard_output_status(program);
}

publish_options publishing_for(const char* program) {
  publish_options options;
  options.waiting = [program] {
    std::fprintf(stderr, "%s: waiting for another run in this folder to publish its outputs\n", program);
  };
  options.notice = [program](const std::string& note) { std::fprintf(stderr, "%s: note: %s\n", program, note.c_str()); };
  return options;
}

}  // namespace tornavel
