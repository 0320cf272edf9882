#include "programs/signals.h"

#include <signal.h>
#include <unistd.h>

#include "files/staged_file.h"
#include "system/fault_signals.h"

namespace tornavel {
namespace {

extern "C" void end_on_signal(int signal_number) {
  remove_staged_files_now();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

// Whether a signal's default action leaves the process running: it is ignored, or stops or
// continues it. (SIGKILL and SIGSTOP cannot be caught at all.)
bool leaves_process_running(int signal_number) {
  switch (signal_number) {
    case SIGCHLD: case SIGCONT: case SIGURG: case SIGWINCH:
    case SIGSTOP: case SIGTSTP: case SIGTTIN: case SIGTTOU: case SIGKILL:
      return true;
    default:
      return false;
  }
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

}  // namespace

void handle_signals() {
  for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
    if (leaves_process_running(signal_number) || signal_number == SIGXFSZ) continue;
    // The sanitizers report a fault of our own from their own handlers: leave those to them.
    if (sanitized && is_fault_signal(signal_number)) continue;
    struct sigaction action {};
    // Signals reserved by the C library for its threads cannot be asked about: skipped.
    if (sigaction(signal_number, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
    action.sa_handler = end_on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(signal_number, &action, nullptr);
  }
  ::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace tornavel
