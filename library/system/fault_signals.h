// The signals a thread raises by its own faults.
#ifndef TORNAVEL_SYSTEM_FAULT_SIGNALS_H_
#define TORNAVEL_SYSTEM_FAULT_SIGNALS_H_

#include <signal.h>

namespace tornavel {

// A thread must never block these: raised by its own fault and blocked, they kill the process
// unhandled. Nor do the programs handle them where the sanitizers report faults from their own
// handlers.
inline constexpr int fault_signals[] = {SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP, SIGSYS};

// Whether signal_number is one of them.
constexpr bool is_fault_signal(int signal_number) {
  for (const int fault : fault_signals) {
    if (fault == signal_number) return true;
  }
  return false;
}

}  // namespace tornavel

#endif  // TORNAVEL_SYSTEM_FAULT_SIGNALS_H_
