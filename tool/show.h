// tornavel-show: the tool's files made readable.
#ifndef TORNAVEL_TOOL_SHOW_H_
#define TORNAVEL_TOOL_SHOW_H_

namespace tornavel {

// Runs the viewer on its command line and returns the exit status: 0, 1 for a file that cannot
// be read, written or understood, 2 for a wrong command line. Output goes to standard output;
// each failure is one line on standard error.
int show(int argc, char** argv);

}  // namespace tornavel

#endif  // TORNAVEL_TOOL_SHOW_H_
