// The tool's job: rank a count-matrix file's columns, and publish the order file and the
// reordered matrix together.
#ifndef TORNAVEL_JOB_RANK_JOB_H_
#define TORNAVEL_JOB_RANK_JOB_H_

#include <string>

#include "files/publication.h"
#include "ranking/interruption.h"
#include "ranking/worker.h"

namespace tornavel {

// The tool's fixed output names, in the folder it runs in.
inline constexpr const char* order_file_name = "tornavel.ord";
inline constexpr const char* matrix_file_name = "tornavel.frq";

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

}  // namespace tornavel

#endif  // TORNAVEL_JOB_RANK_JOB_H_
