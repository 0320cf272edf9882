// tornavel-convert [--from F] [--to F] [--labels FILE] IN OUT
#include "tool/convert.h"

int main(int argc, char** argv) { return tornavel::convert(argc, argv); }
