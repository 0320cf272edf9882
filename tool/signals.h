// What the programs do with the signals that may end them.
#ifndef TORNAVEL_TOOL_SIGNALS_H_
#define TORNAVEL_TOOL_SIGNALS_H_

#include <string>

namespace tornavel {

// SIGINT, SIGTERM, SIGHUP and SIGPIPE remove the temporary files of the staged outputs and then
// end the process as the signal would have (unless the caller had them ignored, as a shell does
// for a background job's SIGINT). SIGXFSZ is ignored, so a file-size limit makes a write fail
// with EFBIG, reported like any other failure. SIGBUS, which a mapped input that shrinks under
// its reader raises (or a disk that fails to deliver its pages), removes the temporaries, prints
// read_failure and a newline on standard error and exits with status 1.
void handle_signals(const std::string& read_failure);

}  // namespace tornavel

#endif  // TORNAVEL_TOOL_SIGNALS_H_
