// The build-time checkpoints of the running sum, embedded as they were written: raw binary64
// values in this host's byte order, made on the machine that builds the tool.
#include "ranking/log_sum.h"

#ifndef TORNAVEL_CHECKPOINTS_FILE
#error "TORNAVEL_CHECKPOINTS_FILE must name the generated checkpoint file"
#endif

// .incbin takes the generated file as it is, far faster to build than an array initialiser of
// half a million literals.
asm(".pushsection .rodata\n"
    ".balign 8\n"
    "tornavel_log_sum_checkpoints_begin:\n"
    ".incbin \"" TORNAVEL_CHECKPOINTS_FILE "\"\n"
    "tornavel_log_sum_checkpoints_end:\n"
    ".popsection\n");

extern "C" const double tornavel_log_sum_checkpoints_begin[];
extern "C" const double tornavel_log_sum_checkpoints_end[];

namespace tornavel {

std::span<const double> builtin_log_sum_checkpoints() {
  return {tornavel_log_sum_checkpoints_begin, tornavel_log_sum_checkpoints_end};
}

}  // namespace tornavel
