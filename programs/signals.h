// What the programs do with the signals that may end them.
#ifndef TORNAVEL_PROGRAMS_SIGNALS_H_
#define TORNAVEL_PROGRAMS_SIGNALS_H_

namespace tornavel {

// Every signal whose default action ends the process (SIGINT, SIGTERM, SIGHUP, SIGPIPE,
// SIGALRM, SIGUSR1, SIGXCPU, the real-time signals and the rest) removes the temporary files of
// the staged outputs and then ends the process as it would have, unless the caller had it
// ignored, as a shell does for a background job's SIGINT. SIGXFSZ is ignored, so a file-size
// limit makes a write fail with EFBIG, reported like any other failure.
void handle_signals();

}  // namespace tornavel

#endif  // TORNAVEL_PROGRAMS_SIGNALS_H_
