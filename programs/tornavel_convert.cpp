// tornavel-convert [--from F] [--to F] [--header yes|no] [--index yes|no] [--labels FILE
// [--order ORDER_FILE]] IN OUT: count
// matrices between tornavel's files and the formats others keep them in.
#include <optional>
#include <string>
#include <vector>

#include "job/conversion.h"
#include "programs/command_line.h"
#include "programs/program.h"
#include "programs/signals.h"

namespace {

constexpr tornavel::program_text text{
    "tornavel-convert",
    "usage: tornavel-convert [--from FORMAT] [--to FORMAT] [--header yes|no] [--index yes|no]\n"
    "                        [--labels FILE [--order ORDER_FILE]] IN OUT\n"
    "       tornavel-convert -h | --help | --version\n",
    "Converts count matrices between tornavel's .frq files and CSV, TSV, Matrix Market,\n"
    "NumPy .npy and lists of pairs; any input may be gzip-compressed.\n"
    "\n"
    "  IN                 the input file, - for standard input (then --from is needed)\n"
    "  OUT                the output file, - for standard output (then --to is needed)\n"
    "  --from FORMAT      the input's format: frq, csv, tsv, mtx, npy or pairs (default:\n"
    "                     IN's extension, past a final .gz)\n"
    "  --to FORMAT        the output's format: frq, csv, tsv, mtx or npy (default: OUT's\n"
    "                     extension)\n"
    "  --header yes|no    whether a csv or tsv input's first row names the columns\n"
    "                     (default: as the table's shape and cells tell)\n"
    "  --index yes|no     whether its first column names the rows (default: likewise)\n"
    "  --labels FILE      item names, one a line: written here (- for standard output)\n"
    "                     from an input that names its items (csv, tsv, pairs); read from\n"
    "                     here for a csv or tsv output of one that does not (frq, mtx, npy)\n"
    "  --order FILE       with --labels read: IN is in the rank order of this order file\n"
    "                     (as tornavel.frq is in that of tornavel.ord), so the labels are\n"
    "                     ranked to match\n"
    "  -h, --help         this text\n"
    "  --version          the version\n"
    "\n"
    "Exit status: 0 on success; 1 for input that cannot be read or is not a square matrix\n"
    "of counts from 0 to 2^31 - 1 (nothing is written then); 2 for a wrong command line.\n",
    "IN and OUT"};

}  // namespace

int main(int argc, char** argv) {
  using namespace tornavel;
  CLI::App app;
  tornavel::conversion_request request;
  app.add_option("--from", request.from);
  app.add_option("--to", request.to);
  app.add_option("--labels", request.labels);
  app.add_option("--order", request.order);
  add_yes_no(app, "--header", request.header);
  add_yes_no(app, "--index", request.index);
  std::vector<std::string> operands;
  if (const std::optional<int> done = read_command_line(app, operands, argc, argv, text)) return *done;
  handle_signals();
  return run_program(text.name, text.usage, "", [&] {
    request.in = operands[0];
    request.out = operands[1];
    run_conversion(request, publishing_for(text.name));
  });
}
