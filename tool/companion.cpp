#include "tool/companion.h"

#include <cstdio>
#include <exception>
#include <new>

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
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", program, error.what());
    return 1;
  }
  return 0;
}

}  // namespace tornavel
