#include "tool/companion.h"

#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>

#include "matrix_files/file_error.h"

namespace tornavel {

int report_failures(const char* program, const char* usage, const std::function<void()>& body) {
  try {
    body();
  } catch (const usage_error& error) {
    std::fprintf(stderr, "%s: %s\n%s", program, error.message.c_str(), usage);
    return 2;
  } catch (const file_error& error) {
    std::fprintf(stderr, "%s: %s\n", program, error.what());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "%s: not enough memory\n", program);
    return 1;
  } catch (const std::length_error&) {
    std::fprintf(stderr, "%s: not enough memory\n", program);
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", program, error.what());
    return 1;
  }
  return 0;
}

publish_options publishing_for(const char* program) {
  return {[program] {
    std::fprintf(stderr, "%s: waiting for another run in this folder to publish its outputs\n", program);
  }};
}

void finish_publications_beside(const char* program, const std::vector<std::string>& paths) {
  const publish_options options = publishing_for(program);
  for (const std::string& path : paths) {
    if (path != "-") finish_interrupted_publication(path, options);
  }
}

}  // namespace tornavel
