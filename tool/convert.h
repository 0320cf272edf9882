// tornavel-convert: count matrices between tornavel's files and the formats others keep them in.
#ifndef TORNAVEL_TOOL_CONVERT_H_
#define TORNAVEL_TOOL_CONVERT_H_

namespace tornavel {

// Runs the converter on its command line and returns the exit status: 0, 1 for input that
// cannot be read or is not a count matrix (nothing is written then), 2 for a wrong command line.
int convert(int argc, char** argv);

}  // namespace tornavel

#endif  // TORNAVEL_TOOL_CONVERT_H_
