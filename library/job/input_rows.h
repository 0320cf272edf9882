// An open count-matrix file as the ranking reads it: the one place where files and ranking meet.
// A file is read by one thread at a time, in order, with advice to the kernel; a pipe, held
// whole in memory, by both threads at once.
#ifndef TORNAVEL_JOB_INPUT_ROWS_H_
#define TORNAVEL_JOB_INPUT_ROWS_H_

#include "matrix_files/count_matrix_file.h"
#include "ranking/interruption.h"
#include "ranking/row_source.h"

namespace tornavel {

class input_rows final : public row_source {
 public:
  explicit input_rows(count_matrix_input& input, interruption* stop = nullptr) : input_(input), stop_(stop) {}
  std::size_t columns() const override { return static_cast<std::size_t>(input_.columns()); }
  std::size_t rows() const override { return input_.stored_rows(); }
  bool reads_at_once() const override { return input_.read_whole(); }
  std::span<const std::int32_t> read_rows(std::size_t first, std::size_t count,
                                          std::span<std::int32_t> scratch) override {
    poll(stop_);
    return input_.read_rows(first, count, scratch);
  }
  void expect_rows_in_order() override { input_.expect_rows_in_order(); }
  void expect_rows_out_of_order() override { input_.expect_rows_out_of_order(); }
  void will_need(std::size_t row) override { input_.will_need(row); }

 private:
  count_matrix_input& input_;
  interruption* stop_;
};

}  // namespace tornavel

#endif  // TORNAVEL_JOB_INPUT_ROWS_H_
