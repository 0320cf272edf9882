// tornavel-show matrix|order FILE [options]: prints the tool's files for people.
#include "tool/show.h"

int main(int argc, char** argv) { return tornavel::show(argc, argv); }
