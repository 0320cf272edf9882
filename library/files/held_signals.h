// Holding off the signals that would end a run at a moment it must not be cut short.
#ifndef TORNAVEL_FILES_HELD_SIGNALS_H_
#define TORNAVEL_FILES_HELD_SIGNALS_H_

#include <signal.h>

#include "system/fault_signals.h"

namespace tornavel {

// Blocks, on the calling thread, every signal but those a thread raises by its own faults
// (blocked, those would kill the process unhandled), for as long as it lives; a signal that
// arrives meanwhile is delivered when it ends. The program's other threads block them for good,
// so none can be delivered there instead.
class held_signals {
 public:
  held_signals() {
    sigset_t held;
    sigfillset(&held);
    for (const int fault : fault_signals) sigdelset(&held, fault);
    pthread_sigmask(SIG_BLOCK, &held, &before_);
  }
  ~held_signals() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
  held_signals(const held_signals&) = delete;
  held_signals& operator=(const held_signals&) = delete;

 private:
  sigset_t before_;
};

}  // namespace tornavel

#endif  // TORNAVEL_FILES_HELD_SIGNALS_H_
