// The compiled core of the Python module tornavel: the tool's ranking over NumPy arrays and the
// arrays of SciPy's CSR matrices, read where they lie a block at a time, with the converter's
// rules for values; and the tool's whole job. The package around it (tornavel/__init__.py)
// takes the matrices apart and puts results together.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "matrix_files/matrix_files.h"
#include "ranking/ranking.h"
#include "tool/run.h"

namespace py = pybind11;

namespace tornavel {
namespace {

// A value refused by the rules of counts: ValueError in Python.
struct value_error {
  std::string message;
};

// The converter's rules, with messages naming the row and column.
class count_rules {
 public:
  count_rules() : builder_("matrix", sink_) {}

  // The value as a count, by the builder's rules for its type.
  template <typename T>
  std::int32_t count(T value, std::int64_t row, std::int64_t column) const {
    try {
      if constexpr (std::is_same_v<T, bool>) {
        return value ? 1 : 0;
      } else if constexpr (std::is_floating_point_v<T>) {
        return builder_.count_of(static_cast<double>(value), source_place::element(row, column));
      } else if constexpr (std::is_signed_v<T>) {
        return builder_.count_of(static_cast<std::int64_t>(value), source_place::element(row, column));
      } else {
        return builder_.count_of(static_cast<std::uint64_t>(value), source_place::element(row, column));
      }
    } catch (const file_error& error) {
      throw value_error{error.reason()};
    }
  }

 private:
  struct no_sink final : row_sink {
    void begin(std::size_t, const std::vector<std::string>&) override {}
    void row(std::size_t, std::span<const std::int32_t>) override {}
    void end(const std::vector<std::string>&) override {}
  };
  no_sink sink_;
  count_matrix_builder builder_;
};

// A value as a count, without a branch: sets fault if the rules refuse it (count_rules then
// says why, and where).
template <typename T>
std::int32_t count_or_fault(T value, bool& fault) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? 1 : 0;
  } else if constexpr (std::is_floating_point_v<T>) {
    const bool bad = !(value >= 0 && value <= T(2147483647.0));
    const auto count = static_cast<std::int32_t>(bad ? T(0) : value);
    fault |= bad || static_cast<T>(count) != value;
    return count;
  } else {
    fault |= static_cast<std::uint64_t>(value) > 2147483647u;
    return static_cast<std::int32_t>(value);
  }
}

// Calls f with a value of the array's element type, by its kind and size ('i', 'u', 'b', 'f').
template <typename F>
void with_element_type(char kind, py::ssize_t size, F&& f) {
  switch (kind == 'f' ? 100 + size : kind == 'i' ? size : kind == 'b' ? 300 : 200 + size) {
    case 1: return f(std::int8_t{});
    case 2: return f(std::int16_t{});
    case 4: return f(std::int32_t{});
    case 8: return f(std::int64_t{});
    case 201: return f(std::uint8_t{});
    case 202: return f(std::uint16_t{});
    case 204: return f(std::uint32_t{});
    case 208: return f(std::uint64_t{});
    case 300: return f(bool{});
    case 104: return f(float{});
    case 108: return f(double{});
    default: throw value_error{"unsupported dtype (integers, bool, float32, float64)"};
  }
}

// A 2-D NumPy array of any supported dtype and any strides as rows of counts: each block is
// converted and checked in the scratch it is read into, so what was checked is what is used,
// whatever another thread does to the array meanwhile.
class array_rows final : public row_source {
 public:
  explicit array_rows(const py::array& a)
      : data_(static_cast<const char*>(a.data())),
        side_(static_cast<std::size_t>(a.shape(0))),
        row_stride_(a.strides(0)),
        column_stride_(a.strides(1)),
        kind_(a.dtype().kind()),
        size_(a.itemsize()) {}

  std::size_t columns() const override { return side_; }
  std::size_t rows() const override { return side_; }
  bool reads_at_once() const override { return true; }
  std::span<const std::int32_t> read_rows(std::size_t first, std::size_t count,
                                          std::span<std::int32_t> scratch) override {
    with_element_type(kind_, size_, [&](auto sample) {
      using T = decltype(sample);
      for (std::size_t r = first; r < first + count; ++r) {
        const char* row = data_ + static_cast<py::ssize_t>(r) * row_stride_;
        std::int32_t* out = scratch.data() + (r - first) * side_;
        if (column_stride_ == sizeof(T) && convert_row(reinterpret_cast<const T*>(row), out)) continue;
        // Any other layout, or a row with a value the rules refuse (found here, and named).
        for (std::size_t k = 0; k < side_; ++k) {
          T value;
          std::memcpy(&value, row + static_cast<py::ssize_t>(k) * column_stride_, sizeof value);
          out[k] = rules_.count(value, static_cast<std::int64_t>(r), static_cast<std::int64_t>(k));
        }
      }
    });
    return scratch.first(count * side_);
  }

 private:
  // A contiguous row, converted in one pass that the compiler can make into vector instructions;
  // false if some value is not a count.
  template <typename T>
  bool convert_row(const T* row, std::int32_t* out) const {
    bool fault = false;
    for (std::size_t k = 0; k < side_; ++k) out[k] = count_or_fault(row[k], fault);
    return !fault;
  }

  const char* data_;
  std::size_t side_;
  py::ssize_t row_stride_, column_stride_;
  char kind_;
  py::ssize_t size_;
  count_rules rules_;
};

// The arrays of a canonical CSR matrix (indices in range, none repeated within a row) as
// non-zero counts, converted and checked as they are read.
class csr_nonzeros final : public nonzero_source {
 public:
  csr_nonzeros(std::size_t side, const py::array& indptr, const py::array& indices, const py::array& data)
      : side_(side), indptr_(indptr), indices_(indices), data_(data) {}

  std::size_t side() const override { return side_; }
  std::size_t rows_for(std::size_t first, std::size_t most_entries) const override {
    // Found from the row pointers alone, which must rise and stay within the data.
    const std::int64_t base = pointer(first);
    std::int64_t stop = base;
    std::size_t end = first;
    do {
      const std::int64_t next = pointer(++end);
      if (base < 0 || next < stop || next > static_cast<std::int64_t>(data_.size())) {
        throw value_error{"the sparse matrix's row pointers are out of order"};
      }
      stop = next;
    } while (end < side_ && stop - base < static_cast<std::int64_t>(most_entries));
    return end;
  }

  void read_rows(std::size_t first, std::size_t end, nonzero_block& block) const override {
    const std::int64_t base = pointer(first), stop = pointer(end);
    const auto entries = static_cast<std::size_t>(stop - base);
    // Columns and counts in one pass, each checked, with a fault noted rather than branched on.
    const auto convert = [&](auto index_sample, auto value_sample) {
      using I = decltype(index_sample);
      using T = decltype(value_sample);
      const I* columns = static_cast<const I*>(indices_.data()) + base;
      const T* values = static_cast<const T*>(data_.data()) + base;
      block.columns.resize(entries);
      block.counts.resize(entries);
      std::int32_t* to_columns = block.columns.data();
      std::int32_t* to_counts = block.counts.data();
      bool fault = false;
      for (std::size_t i = 0; i < entries; ++i) {
        fault |= static_cast<std::uint64_t>(columns[i]) >= side_;
        to_columns[i] = static_cast<std::int32_t>(columns[i]);
        to_counts[i] = count_or_fault(values[i], fault);
      }
      if (fault) refuse_rows(first, end);
    };
    with_element_type(data_.dtype().kind(), data_.itemsize(), [&](auto value_sample) {
      if (indices_.itemsize() == 4) {
        convert(std::int32_t{}, value_sample);
      } else {
        convert(std::int64_t{}, value_sample);
      }
    });
  }

  // Puts row r's non-zero counts, each checked, into row (side() words of zeros), and returns
  // whether it has any; clear_row() puts the zeros back.
  bool fill_row(std::size_t r, std::vector<std::int32_t>& row) const {
    refuse_rows(r, r + 1, &row);
    return pointer(r + 1) > pointer(r);
  }
  void clear_row(std::size_t r, std::vector<std::int32_t>& row) const {
    for (std::int64_t i = pointer(r); i < pointer(r + 1); ++i) row[static_cast<std::size_t>(at(indices_, i))] = 0;
  }

 private:
  // Checks rows first .. end - 1 value by value, refusing the first fault with its row and
  // column; fills row with the counts of a single row if given.
  void refuse_rows(std::size_t first, std::size_t end, std::vector<std::int32_t>* row = nullptr) const {
    with_element_type(data_.dtype().kind(), data_.itemsize(), [&](auto sample) {
      using T = decltype(sample);
      const T* values = static_cast<const T*>(data_.data());
      for (std::size_t r = first; r < end; ++r) {
        const std::int64_t begin = pointer(r), stop = pointer(r + 1);
        if (begin < 0 || stop < begin || stop > static_cast<std::int64_t>(data_.size())) {
          throw value_error{"the sparse matrix's row pointers are out of order"};
        }
        for (std::int64_t i = begin; i < stop; ++i) {
          const std::int64_t k = at(indices_, i);
          if (k < 0 || k >= static_cast<std::int64_t>(side_)) {
            throw value_error{"the sparse matrix has a column index out of range"};
          }
          const std::int32_t count = rules_.count(values[i], static_cast<std::int64_t>(r), k);
          if (row != nullptr) (*row)[static_cast<std::size_t>(k)] = count;
        }
      }
    });
  }

 private:
  std::int64_t pointer(std::size_t r) const { return at(indptr_, static_cast<py::ssize_t>(r)); }
  static std::int64_t at(const py::array& a, py::ssize_t i) {
    return a.itemsize() == 4 ? static_cast<const std::int32_t*>(a.data())[i]
                             : static_cast<const std::int64_t*>(a.data())[i];
  }

  std::size_t side_;
  py::array indptr_, indices_, data_;
  count_rules rules_;
};

py::array_t<float> scores_of(const std::vector<column_rank>& records) {
  py::array_t<float> out(static_cast<py::ssize_t>(records.size()));
  float* at = out.mutable_data();
  for (const column_rank& r : records) at[r.column] = r.score;
  return out;
}

py::array_t<std::int32_t> order_of(const std::vector<std::int32_t>& order) {
  py::array_t<std::int32_t> out(static_cast<py::ssize_t>(order.size()));
  std::copy(order.begin(), order.end(), out.mutable_data());
  return out;
}

// One helper thread for the module's life, as the tool starts one for its run.
worker& helper() {
  static worker* shared = new worker;  // never destroyed: it may outlive the interpreter's end
  return *shared;
}

// Runs f without the GIL, turning the library's failures into Python's exceptions.
template <typename F>
auto released(F&& f) {
  try {
    py::gil_scoped_release unlocked;
    return f();
  } catch (const value_error& e) {
    throw py::value_error(e.message);
  }
}

py::array dense_array(const py::array& m) {
  if (m.ndim() != 2) throw py::value_error("a count matrix has 2 dimensions, not " + std::to_string(m.ndim()));
  if (m.shape(0) != m.shape(1)) {
    throw py::value_error("matrix is not square (" + std::to_string(m.shape(0)) + " rows, " +
                          std::to_string(m.shape(1)) + " columns)");
  }
  const char kind = m.dtype().kind();
  if (kind != 'i' && kind != 'u' && kind != 'b' && kind != 'f') {
    throw py::value_error("unsupported dtype (integers, bool, float32, float64)");
  }
  return m;
}

// Writes a .frq file at path, its rows handed to the writer by write_rows, as the tool writes
// its own: staged, then published; rows left out are a hole of zeros.
template <typename F>
void write_frq(const std::string& path, std::size_t side, F&& write_rows) {
  finish_interrupted_publication(path);
  staged_file out(path);
  const std::unique_ptr<row_sink> writer = frq_writer(out.stream(), true);
  writer->begin(side, {});
  write_rows(*writer);
  writer->end({});
  out.finish();
  publish_together({&out});
}

void write_dense(const std::string& path, const py::array& m) {
  array_rows rows(m);
  const std::size_t side = rows.rows();
  const std::size_t block_rows = side == 0 ? 0 : std::max<std::size_t>(1, (std::size_t{1} << 18) / side);
  std::vector<std::int32_t> scratch(block_rows * side);
  write_frq(path, side, [&](row_sink& writer) {
    for (std::size_t first = 0; first < side; first += block_rows) {
      const std::size_t count = std::min(block_rows, side - first);
      const std::span<const std::int32_t> block = rows.read_rows(first, count, scratch);
      for (std::size_t r = 0; r < count; ++r) writer.row(first + r, block.subspan(r * side, side));
    }
  });
}

void write_csr(const std::string& path, const csr_nonzeros& source) {
  const std::size_t side = source.side();
  write_frq(path, side, [&](row_sink& writer) {
    std::vector<std::int32_t> row(side, 0);
    for (std::size_t r = 0; r < side; ++r) {
      if (source.fill_row(r, row)) {
        writer.row(r, row);
        source.clear_row(r, row);
      }
    }
  });
}

// A CSR matrix with rows and columns both permuted: output row l is input row order[l], each
// column k renamed position[k]. Entries stay in their rows' order, so the column indices of a
// row are no longer sorted (as with SciPy's own a[o][:, o]). Two threads fill alternate halves.
py::tuple csr_reorder(std::size_t side, const py::array& indptr, const py::array& indices,
                      const py::array& data, const py::array_t<std::int64_t>& order) {
  const auto pointer = [&](std::size_t r) {
    return indptr.itemsize() == 4 ? std::int64_t{static_cast<const std::int32_t*>(indptr.data())[r]}
                                  : static_cast<const std::int64_t*>(indptr.data())[r];
  };
  const std::int64_t* o = order.data();
  std::vector<std::int64_t> position(side);
  for (std::size_t k = 0; k < side; ++k) position[static_cast<std::size_t>(o[k])] = static_cast<std::int64_t>(k);
  py::array_t<std::int64_t> out_indptr(static_cast<py::ssize_t>(side + 1));
  std::int64_t* starts = out_indptr.mutable_data();
  starts[0] = 0;
  for (std::size_t l = 0; l < side; ++l) {
    const auto r = static_cast<std::size_t>(o[l]);
    starts[l + 1] = starts[l] + pointer(r + 1) - pointer(r);
  }
  const auto entries = static_cast<py::ssize_t>(starts[side]);
  py::array out_indices(indices.dtype(), entries);
  py::array out_data(data.dtype(), entries);
  const py::ssize_t size = data.itemsize();
  const auto* from_data = static_cast<const char*>(data.data());
  auto* to_data = static_cast<char*>(out_data.mutable_data());
  const auto fill = [&](auto index_sample, std::size_t half) {
    using I = decltype(index_sample);
    const I* from = static_cast<const I*>(indices.data());
    I* to = static_cast<I*>(out_indices.mutable_data());
    for (std::size_t l = half; l < side; l += 2) {
      const std::int64_t begin = pointer(static_cast<std::size_t>(o[l])), at = starts[l];
      const std::int64_t count = starts[l + 1] - at;
      for (std::int64_t i = 0; i < count; ++i) to[at + i] = static_cast<I>(position[static_cast<std::size_t>(from[begin + i])]);
      std::memcpy(to_data + at * size, from_data + begin * size, static_cast<std::size_t>(count * size));
    }
  };
  {
    py::gil_scoped_release unlocked;
    helper().run_beside(
        [&] { indices.itemsize() == 4 ? fill(std::int32_t{}, 1) : fill(std::int64_t{}, 1); },
        [&] { indices.itemsize() == 4 ? fill(std::int32_t{}, 0) : fill(std::int64_t{}, 0); });
  }
  return py::make_tuple(out_data, out_indices, out_indptr);
}

}  // namespace
}  // namespace tornavel

PYBIND11_MODULE(_tornavel, module) {
  module.def("csr_reorder", &tornavel::csr_reorder);
  using namespace tornavel;
  module.doc() = "The compiled core of tornavel; use the package's functions.";
  module.def("dense_scores", [](const py::array& m) {
    const py::array a = dense_array(m);
    array_rows rows(a);
    return scores_of(released([&] { return score_columns(rows, &helper()); }));
  });
  module.def("dense_rank", [](const py::array& m) {
    const py::array a = dense_array(m);
    array_rows rows(a);
    return order_of(released([&] { return rank_matrix(rows, &helper()); }));
  });
  const auto csr = [](std::size_t side, const py::array& indptr, const py::array& indices, const py::array& data) {
    return csr_nonzeros(side, indptr, indices, data);
  };
  module.def("csr_scores", [csr](std::size_t side, const py::array& indptr, const py::array& indices, const py::array& data) {
    csr_nonzeros source = csr(side, indptr, indices, data);
    return scores_of(released([&] { return score_columns(source, &helper()); }));
  });
  module.def("csr_rank", [csr](std::size_t side, const py::array& indptr, const py::array& indices, const py::array& data) {
    csr_nonzeros source = csr(side, indptr, indices, data);
    return order_of(released([&] { return rank_matrix(source, &helper()); }));
  });
  module.def("run", [](const std::string& path, const std::string& folder) {
    py::gil_scoped_release unlocked;
    run_job(path, folder);
  });
  module.def("settle", [](const std::string& path) {
    py::gil_scoped_release unlocked;
    finish_interrupted_publication(path);
  });
  module.def("write_dense", [](const std::string& path, const py::array& m) {
    const py::array a = dense_array(m);
    released([&] { write_dense(path, a); });
  });
  module.def("write_csr", [](const std::string& path, std::size_t side, const py::array& indptr,
                             const py::array& indices, const py::array& data) {
    csr_nonzeros source(side, indptr, indices, data);
    released([&] { write_csr(path, source); });
  });
  // A file that cannot be read or written is an OSError, with the file's name and the reason.
  py::register_exception_translator([](std::exception_ptr failure) {
    try {
      if (failure) std::rethrow_exception(failure);
    } catch (const file_error& e) {
      PyErr_SetString(PyExc_OSError, e.what());
    }
  });
}
