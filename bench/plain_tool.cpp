// The plain model of the test suite as a command: the same inputs and outputs as tornavel, for
// the benchmark's comparison. Usage: tornavel_plain MATRIX_FILE
#include <cstdio>
#include <vector>

#include "files/file_error.h"
#include "files/publication.h"
#include "matrix_files/count_matrix_file.h"
#include "matrix_files/order_file.h"
#include "tests/plain_model.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  try {
    const tornavel::count_matrix loaded = tornavel::load_count_matrix(argv[1]);
    plain::matrix m{loaded.columns, loaded.rows, {loaded.counts.begin(), loaded.counts.end()}};
    const plain::ranking ranked = plain::rank(m);
    std::vector<std::int32_t> reordered = plain::reorder(m, ranked.order);
    tornavel::staged_file order = tornavel::save_order_file(ranked.order, "tornavel.ord");
    tornavel::staged_file frq("tornavel.frq");
    tornavel::write_count_matrix_header(frq.stream(), m.columns, m.rows);
    tornavel::write_count_rows(frq.stream(), reordered);
    frq.finish();
    tornavel::publish_together({&order, &frq});
  } catch (const tornavel::file_error& error) {
    std::fprintf(stderr, "tornavel_plain: %s\n", error.what());
    return 1;
  }
  return 0;
}
