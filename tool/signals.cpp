#include "tool/signals.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "matrix_files/staged_file.h"

namespace tornavel {
namespace {

extern "C" void end_on_signal(int signal_number) {
  remove_staged_files_now();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

// Made before anything is read, since a handler may not allocate.
std::array<char, 4096> read_failure_message;
std::size_t read_failure_length = 0;

extern "C" void end_on_read_failure(int) {
  remove_staged_files_now();
  [[maybe_unused]] const ssize_t ignored =
      ::write(STDERR_FILENO, read_failure_message.data(), read_failure_length);
  ::_exit(1);
}

}  // namespace

void handle_signals(const std::string& read_failure) {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction action {};
    if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
    action.sa_handler = end_on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(signal_number, &action, nullptr);
  }
  ::signal(SIGXFSZ, SIG_IGN);
  const std::string message = read_failure + "\n";
  read_failure_length = std::min(message.size(), read_failure_message.size());
  std::copy_n(message.begin(), read_failure_length, read_failure_message.begin());
  ::signal(SIGBUS, end_on_read_failure);
}

}  // namespace tornavel
