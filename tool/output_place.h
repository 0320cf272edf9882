// Where an output named on a command line goes: one rule for every program.
#ifndef TORNAVEL_TOOL_OUTPUT_PLACE_H_
#define TORNAVEL_TOOL_OUTPUT_PLACE_H_

#include <string>

namespace tornavel {

enum class output_place {
  standard_output,  // "-"
  through,          // a device, FIFO or terminal: written as it stands, never replaced
  staged,           // a file staged beside the name and renamed over it when complete
};

// "-" is standard output. A device, FIFO or terminal, named or reached through a symbolic link,
// is written through: the kernel opens it, following the link with the protections it gives
// links in shared folders. Anything else (a regular file, a name not yet taken, a symbolic link
// to a file or to nothing) is staged and replaces the name itself: a link is replaced, as the
// tool replaces its outputs, and what it pointed to is left as it was. A folder throws
// file_error (EISDIR).
output_place where_output_goes(const std::string& path);

}  // namespace tornavel

#endif  // TORNAVEL_TOOL_OUTPUT_PLACE_H_
