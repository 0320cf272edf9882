#include "tool/run.h"

#include <cstdio>
#include <new>
#include <string>

#include "matrix_files/matrix_files.h"
#include "ranking/ranking.h"

namespace tornavel {
namespace {

void complain(const std::string& message) {
  std::fprintf(stderr, "tornavel: %s\n", message.c_str());
}

void run_job(const std::string& input_path) {
  // The input is read whole and closed before any output is opened, so it may itself be a
  // previous run's output.
  const count_matrix matrix = load_file(input_path);
  const std::vector<std::int32_t> order = rank_matrix(matrix);

  staged_file order_file = save_file(order, order_file_name);
  // The reordered matrix goes to the file a few rows at a time, never whole in memory.
  staged_file frq_file = save_count_matrix(
      matrix_file_name, matrix.columns, matrix.rows,
      [&](std::size_t first_row, std::span<std::int32_t> out) {
        reorder_rows(matrix, order, first_row, out);
      });
  publish_in_order({&order_file, &frq_file});
}

}  // namespace

int run(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: tornavel MATRIX_FILE\n", stderr);
    return exit_usage;
  }
  const std::string input_path = argv[1];
  try {
    run_job(input_path);
  } catch (const file_error& error) {
    complain(error.what());
    return exit_failure;
  } catch (const std::bad_alloc&) {
    complain(input_path + ": not enough memory");
    return exit_failure;
  } catch (const std::length_error&) {
    complain(input_path + ": not enough memory");
    return exit_failure;
  }
  return exit_success;
}

}  // namespace tornavel
