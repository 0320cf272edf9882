#include "job/rank_job.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "files/file_error.h"
#include "matrix_files/count_matrix_file.h"
#include "matrix_files/order_file.h"
#include "ranking/ranking.h"
#include "job/input_rows.h"

namespace tornavel {
namespace {

// An output's name in folder, as messages show it: bare in the current folder.
std::string output_path(const std::string& folder, const char* name) {
  if (folder.empty() || folder == ".") return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Writes the reordered rows after the header, in pieces of about 2 MiB: this thread and the
// helper each fill every other piece and write it at its place in the file, so that reading,
// permuting and writing go on in both at once. Starts with the stream at the header's end.
void write_reordered(row_source& rows, std::span<const std::int32_t> order, file_stream& out,
                     worker* helper) {
  const std::size_t columns = rows.columns();
  const std::size_t total = rows.rows();
  if (total == 0) return;
  out.flush();
  const std::size_t piece_rows = std::max<std::size_t>(1, (std::size_t{1} << 19) / columns);
  const std::vector<std::int32_t> position = positions_of(order);
  rows.expect_rows_out_of_order();
  std::atomic<bool> failed = false;  // so that one thread's failure stops the other soon
  const auto fill_and_write = [&](std::size_t first_piece) {
    try {
      const auto piece = std::make_unique_for_overwrite<std::int32_t[]>(piece_rows * columns);
      std::vector<std::int32_t> row(columns);
      for (std::size_t first = first_piece * piece_rows; first < total && !failed;
           first += 2 * piece_rows) {
        const std::span<std::int32_t> out_rows(piece.get(),
                                               std::min(piece_rows, total - first) * columns);
        reorder_rows(rows, order, position, first, out_rows, row);
        write_count_rows_at(out, out_rows,
                            count_row_offset(static_cast<std::int32_t>(columns), first));
      }
    } catch (...) {
      failed = true;
      throw;
    }
  };
  run_beside(helper, [&] { fill_and_write(1); }, [&] { fill_and_write(0); });
}

}  // namespace

void run_job(const std::string& input_path, const std::string& folder, const job_options& options) {
  const publish_options& publishing = options.publishing;
  const std::string order_path = output_path(folder, order_file_name);
  const std::string matrix_path = output_path(folder, matrix_file_name);
  // Before any work: a folder the outputs could not be published in is refused now, and a
  // publication an interrupted run left here (or beside the input) is finished, so that the
  // input read and the outputs replaced are whole pairs.
  prepare_output_folder(order_path, publishing);
  prepare_output_folder(matrix_path, publishing);
  if (access(folder.empty() ? "." : folder.c_str(), W_OK) != 0) {
    const int error = errno;
    throw file_error(folder.empty() ? "." : folder,
                     std::string(std::strerror(error)) +
                         " (the outputs, tornavel.ord and tornavel.frq, are written to " +
                         (folder.empty() || folder == "." ? "the current folder)" : "this folder)"),
                     error);
  }
  finish_interrupted_publication(input_path, publishing);
  // The input stays open until both outputs are in place, so it may be a previous run's output:
  // its name is replaced, not the contents being read.
  count_matrix_input input = count_matrix_input::open(input_path);
  input_rows rows(input, options.stop);
  // Without rows every column scores 0 and the order is the identity, written as it goes.
  rank_order order;
  if (rows.rows() > 0) order = rank_matrix(rows, options.helper);
  staged_file order_file = rows.rows() > 0 ? save_order_file(order, order_path)
                                           : save_identity_order(input.columns(), order_path);
  staged_file frq_file(matrix_path);
  write_count_matrix_header(frq_file.stream(), input.columns(), input.rows());
  write_reordered(rows, order, frq_file.stream(), options.helper);
  frq_file.finish();
  input.check_unchanged();
  poll(options.stop);  // the last moment at which stopping leaves the old pair
  publish_together({&order_file, &frq_file}, publishing);
}

}  // namespace tornavel
