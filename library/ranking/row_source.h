// Where the ranking gets its counts: whole rows, in order for scoring and by index for the
// reordering, from memory or from a file, a few at a time.
#ifndef TORNAVEL_RANKING_ROW_SOURCE_H_
#define TORNAVEL_RANKING_ROW_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace tornavel {

// The rows of a count matrix that is square or empty and whose counts are all >= 0.
class row_source {
 public:
  virtual ~row_source() = default;

  // The length of a row, and the number of rows that hold counts (0 when there are no columns).
  virtual std::size_t columns() const = 0;
  virtual std::size_t rows() const = 0;

  // Rows first .. first + count - 1, row-major, valid until the next call: read into scratch,
  // which holds count * columns() words, or, from a source that holds them, where they lie.
  // May throw whatever the source's reads throw. After expect_rows_out_of_order(), two threads
  // may read at once, each into its own scratch.
  virtual std::span<const std::int32_t> read_rows(std::size_t first, std::size_t count,
                                                  std::span<std::int32_t> scratch) = 0;

  // Whether two threads may read rows at once, in any order, from the start (as from memory).
  virtual bool reads_at_once() const { return false; }

  // Advice: the rows are about to be read in order, or out of order with row among the next.
  virtual void expect_rows_in_order() {}
  virtual void expect_rows_out_of_order() {}
  virtual void will_need(std::size_t /*row*/) {}
};

// The rows of counts held in memory, row-major, rows * columns of them.
class memory_rows final : public row_source {
 public:
  memory_rows(std::size_t columns, std::size_t rows, std::span<const std::int32_t> counts)
      : columns_(columns), rows_(columns == 0 ? 0 : rows), counts_(counts) {}

  std::size_t columns() const override { return columns_; }
  std::size_t rows() const override { return rows_; }
  bool reads_at_once() const override { return true; }
  std::span<const std::int32_t> read_rows(std::size_t first, std::size_t count,
                                          std::span<std::int32_t>) override {
    return counts_.subspan(first * columns_, count * columns_);
  }

 private:
  std::size_t columns_;
  std::size_t rows_;
  std::span<const std::int32_t> counts_;
};

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_ROW_SOURCE_H_
