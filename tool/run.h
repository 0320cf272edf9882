// One run of the tool: load the matrix, rank its columns, write the order file and the
// reordered matrix.
#ifndef TORNAVEL_TOOL_RUN_H_
#define TORNAVEL_TOOL_RUN_H_

#include <string>

#include "matrix_files/publication.h"
#include "ranking/interruption.h"
#include "ranking/worker.h"

namespace tornavel {

struct job_options {
  publish_options publishing;
  worker* helper = nullptr;      // a second thread for both passes, if there is one
  interruption* stop = nullptr;  // polled between blocks: what it throws ends the job unpublished
};

// The whole job: ranks the count-matrix file at input_path and publishes tornavel.ord and
// tornavel.frq in folder, as options.publishing says. Throws file_error (or std::bad_alloc, or
// what options.stop throws); prints nothing. Unless it returns, both outputs are as they were
// and no temporary is left.
void run_job(const std::string& input_path, const std::string& folder, const job_options& options = {});

// Runs the tool on its command line and returns the exit status. Silent on success; a failure
// prints one line on standard error. Nothing under either output name changes unless both
// outputs were written completely.
int run(int argc, char** argv);

}  // namespace tornavel

#endif  // TORNAVEL_TOOL_RUN_H_
