// tornavel MATRIX_FILE: ranks the columns of a count matrix by the log of their multinomial
// coefficients and writes tornavel.ord and tornavel.frq in the current directory.
#include "tool/run.h"

int main(int argc, char** argv) { return tornavel::run(argc, argv); }
