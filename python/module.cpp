// The compiled core of the Python module tornavel. It describes NumPy's and SciPy's arrays to the
// library (where their elements lie, of what type), runs the library without the GIL on a
// helper of the call's own, lets Ctrl-C stop it, and turns its failures into Python's
// exceptions. Which function serves which kind of matrix is the package's choice
// (tornavel/__init__.py); every check of the arrays is the library's.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include "files/file_error.h"
#include "files/publication.h"
#include "formats/formats.h"
#include "job/rank_job.h"
#include "matrix_files/count_matrix_file.h"
#include "model/shape.h"
#include "model/value_rules.h"
#include "ranking/column_partials.h"
#include "ranking/ranking.h"
#include "ranking/reorder.h"
#include "ranking/sparse_arrays.h"
#include "ranking/strided_rows.h"

#ifndef TORNAVEL_VERSION
#define TORNAVEL_VERSION "unknown"
#endif

namespace py = pybind11;

namespace tornavel {
namespace {

// Ctrl-C for a call that runs without the GIL. The calling thread looks at Python's pending
// signals every 20 ms or so, between blocks, holding the GIL only for that moment; once a
// handler has raised (KeyboardInterrupt, say), every thread of the call stops at its next
// block, and the call raises what the handler raised.
class python_signals final : public interruption {
 public:
  struct stopped {};

  void poll() override {
    if (raised_.load(std::memory_order_relaxed)) throw stopped{};
    if (std::this_thread::get_id() != caller_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return;
    next_ = now + std::chrono::milliseconds(20);
    const py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return;
    raised_error_ = std::make_unique<py::error_already_set>();
    raised_.store(true, std::memory_order_relaxed);
    throw stopped{};
  }

  // Raises what stopped the call. Precondition: the GIL is held.
  [[noreturn]] void raise() { throw *raised_error_; }

 private:
  std::thread::id caller_ = std::this_thread::get_id();
  std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
  std::atomic<bool> raised_{false};
  std::unique_ptr<py::error_already_set> raised_error_;
};

// Runs f(helper, stop) without the GIL, on a helper no other call is using (or alone), and
// stops it on Ctrl-C.
template <typename F>
auto released(F&& f) {
  python_signals signals;
  try {
    const helper_lease helper;
    const py::gil_scoped_release unlocked;
    return f(helper.get(), &signals);
  } catch (const python_signals::stopped&) {
    signals.raise();
  }
}

std::string dtype_name(const py::array& a) { return py::str(a.dtype()).cast<std::string>(); }

// A 1-D array as the library reads it: C-contiguous, in the host's byte order (copied only if
// it is not), of a type that holds counts or indices. holder keeps the array (or its copy)
// alive while the description is used.
typed_array typed(py::array a, std::vector<py::array>& holder, const char* what) {
  if (a.ndim() != 1) throw py::value_error(std::string(what) + " must have 1 dimension");
  if (!a.dtype().attr("isnative").cast<bool>()) a = a.attr("astype")(a.dtype().attr("newbyteorder")("="));
  a = py::array::ensure(a, py::array::c_style);
  const typed_array out{a.data(), element_type_of(a.dtype().kind(), static_cast<std::size_t>(a.itemsize()), dtype_name(a)),
                        static_cast<std::size_t>(a.shape(0))};
  holder.push_back(std::move(a));
  return out;
}

// The side of a square shape; ValueError otherwise. An array, unlike a file, has no header to
// leave its rows or columns at 0 with the other side named: it is square or refused.
std::size_t side_of(const py::tuple& shape) {
  if (shape.size() != 2) throw py::value_error("a count matrix has 2 dimensions, not " + std::to_string(shape.size()));
  const auto rows = shape[0].cast<std::int64_t>(), columns = shape[1].cast<std::int64_t>();
  const std::string fault = rows == columns ? shape_fault(rows, columns) : not_square(rows, columns);
  if (!fault.empty()) throw py::value_error(fault);
  return static_cast<std::size_t>(rows);
}

// A 2-D NumPy array as the library reads it, where it lies (in the host's byte order: copied
// only if it is not).
strided_square dense(py::array& a) {
  const element_type type = element_type_of(a.dtype().kind(), static_cast<std::size_t>(a.itemsize()), dtype_name(a));
  const std::size_t side = side_of(py::tuple(a.attr("shape")));
  if (!a.dtype().attr("isnative").cast<bool>()) a = a.attr("astype")(a.dtype().attr("newbyteorder")("="));
  return {static_cast<const char*>(a.data()), side, a.strides(0), a.strides(1), type};
}

// A NumPy array over the library's own buffer, which it then owns: no copy, and none of the
// page faults a fresh buffer of NumPy's would cost.
template <typename T>
py::array_t<T> array_owning(large_vector<T>&& values) {
  auto* owned = new large_vector<T>(std::move(values));
  const py::capsule owner(owned, [](void* p) { delete static_cast<large_vector<T>*>(p); });
  return py::array_t<T>(static_cast<py::ssize_t>(owned->size()), owned->data(), owner);
}

// A one-dimensional NumPy array of n elements of type, over a buffer of the library's own.
py::array fresh_array(const py::dtype& type, std::size_t n) {
  auto* owned = new large_vector<unsigned char>(n * static_cast<std::size_t>(type.itemsize()));
  const py::capsule owner(owned, [](void* p) { delete static_cast<large_vector<unsigned char>*>(p); });
  return py::array(type, {static_cast<py::ssize_t>(n)}, {}, owned->data(), owner);
}

py::array_t<float> scores_array(const column_ranks& records) {
  large_vector<float> scores(records.size());
  for (const column_rank& r : records) scores[static_cast<std::size_t>(r.column)] = r.score;
  return array_owning(std::move(scores));
}

py::array_t<std::int32_t> order_array(rank_order&& order) { return array_owning(std::move(order)); }

// What a ranking call gives back: the scores by column, the order, or both at once (the order
// and the scores in rank order).
enum class result { scores, order, ranked };

result result_named(const std::string& want) {
  if (want == "scores") return result::scores;
  if (want == "order") return result::order;
  return result::ranked;
}

// Scores source and, if want asks, ranks it. For both, the source goes before the ranking, and
// with it the memory it holds (a COO matrix's band), so that the ranking's own is not added to
// it.
template <typename Source>
void rank_source(std::unique_ptr<Source> source, result want, worker* helper, column_ranks& records,
                 rank_order& order) {
  if (want == result::order) {
    order = rank_matrix(*source, helper);
    return;
  }
  records = score_columns(*source, helper);
  source.reset();
  if (want == result::ranked) order = rank_columns(records);  // the records then in rank order
}

// The result, as Python has it: scores by column, the order, or (order, scores in rank order).
py::object result_of(result want, const column_ranks& records, rank_order& order) {
  if (want == result::order) return order_array(std::move(order));
  if (want == result::scores) return scores_array(records);
  large_vector<float> ranked_scores(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) ranked_scores[i] = records[i].score;
  return py::make_tuple(order_array(std::move(order)), array_owning(std::move(ranked_scores)));
}

// Ranks the matrix that make_source describes.
template <typename Make>
py::object ranking_of(const std::string& want_name, const Make& make_source) {
  const result want = result_named(want_name);
  column_ranks records;
  rank_order order;
  released([&](worker* helper, interruption* stop) { rank_source(make_source(stop), want, helper, records, order); });
  return result_of(want, records, order);
}

py::object dense_ranking(py::array a, const std::string& want) {
  const strided_square square = dense(a);
  return ranking_of(want, [&](interruption* stop) { return std::make_unique<strided_rows>(square, stop); });
}

py::object compressed_ranking(const py::tuple& shape, py::array pointers, py::array indices, py::array values,
                              bool by_rows, const std::string& want) {
  std::vector<py::array> holder;
  const compressed_arrays arrays{side_of(shape), typed(pointers, holder, "indptr"), typed(indices, holder, "indices"),
                                 typed(values, holder, "data")};
  if (by_rows) {
    return ranking_of(want, [&](interruption* stop) { return std::make_unique<compressed_rows>(arrays, stop); });
  }
  return ranking_of(want, [&](interruption* stop) { return std::make_unique<compressed_columns>(arrays, stop); });
}

py::object coordinate_ranking(const py::tuple& shape, py::array rows, py::array columns, py::array values,
                              const std::string& want_name) {
  std::vector<py::array> holder;
  const coordinate_arrays arrays{side_of(shape), typed(rows, holder, "row"), typed(columns, holder, "col"),
                                 typed(values, holder, "data")};
  const result want = result_named(want_name);
  column_ranks records;
  rank_order order;
  released([&](worker* helper, interruption* stop) {
    // Rows or columns, as the order of its entries allows.
    coordinate_source source(arrays, stop, helper);
    if (source.by_rows() != nullptr) {
      rank_source(source.take_rows(), want, helper, records, order);
    } else {
      rank_source(source.take_columns(), want, helper, records, order);
    }
  });
  return result_of(want, records, order);
}

// The order as the library takes it: a permutation of 0 .. n - 1, checked.
rank_order permutation(py::array order, std::size_t n) {
  std::vector<py::array> holder;
  return permutation_of(typed(order, holder, "the order"), n);
}

py::array dense_reorder(py::array a, py::array order) {
  const std::size_t side = side_of(py::tuple(a.attr("shape")));
  const rank_order o = permutation(order, side);
  const strided_elements in{static_cast<const char*>(a.data()), side, a.strides(0), a.strides(1),
                            static_cast<std::size_t>(a.itemsize())};
  py::array out(a.dtype(), std::vector<py::ssize_t>{static_cast<py::ssize_t>(side), static_cast<py::ssize_t>(side)});
  void* to = out.mutable_data();
  released([&](worker* helper, interruption* stop) { reorder_elements(in, o, to, helper, stop); });
  return out;
}

// What a compressed_reorder or joined_rows writes, lines of CSR arrays, written with the GIL
// released into the library's own buffers: (data, indices, indptr).
template <typename Source>
py::tuple written_arrays(const Source& source, std::size_t lines, const py::dtype& index_type,
                         const py::dtype& value_type) {
  const auto entries = static_cast<std::size_t>(source.entries());
  py::array_t<std::int64_t> out_pointers = array_owning(large_vector<std::int64_t>(lines + 1));
  py::array out_indices = fresh_array(index_type, entries);
  py::array out_values = fresh_array(value_type, entries);
  std::int64_t* to_pointers = out_pointers.mutable_data();
  void* to_indices = out_indices.mutable_data();
  void* to_values = out_values.mutable_data();
  released([&](worker* helper, interruption* stop) { source.write(to_pointers, to_indices, to_values, helper, stop); });
  return py::make_tuple(out_values, out_indices, out_pointers);
}

// A compressed_reorder over arrays from Python, made and written with the GIL released:
// (data, indices, indptr) of the result, of the input's dtypes.
// make(pointers, indices, values, value_count, value_bytes) gives the reorder.
template <typename Make>
py::tuple reordered_arrays(std::size_t lines, py::array pointers, py::array indices, py::array values,
                           const Make& make) {
  std::vector<py::array> holder;
  const typed_array p = typed(pointers, holder, "indptr"), i = typed(indices, holder, "indices");
  if (values.ndim() != 1) throw py::value_error("data must have 1 dimension");
  values = py::array::ensure(values, py::array::c_style);
  if (values.dtype().kind() == 'O') throw type_refused("data of Python objects is not reordered");
  std::unique_ptr<compressed_reorder> reorder;
  released([&](worker*, interruption*) {
    reorder = make(p, i, values.data(), static_cast<std::size_t>(values.shape(0)),
                   static_cast<std::size_t>(values.itemsize()));
  });
  return written_arrays(*reorder, lines, indices.dtype(), values.dtype());
}

py::tuple compressed_reorder_of(const py::tuple& shape, py::array pointers, py::array indices, py::array values,
                                py::array order, bool by_rows) {
  const std::size_t side = side_of(shape);
  const rank_order o = permutation(order, side);
  return reordered_arrays(side, pointers, indices, values, [&](const typed_array& p, const typed_array& i,
                                                               const void* data, std::size_t count, std::size_t bytes) {
    return std::make_unique<compressed_reorder>(side, p, i, data, count, bytes, o, by_rows ? "row" : "column");
  });
}

// The lines rows of a CSR block of width columns, rows in the order `order` (a permutation of
// 0 .. lines - 1), each column index k renamed rename[k] (rename: width integers below width)
// or kept (None): the pieces tornavel.dask moves.
py::tuple rows_reordered(std::size_t lines, std::size_t width, py::array pointers, py::array indices,
                         py::array values, py::array order, const py::object& rename) {
  const rank_order o = permutation(order, lines);
  std::vector<py::array> holder;
  const typed_array names = rename.is_none() ? typed_array{} : typed(rename, holder, "rename");
  return reordered_arrays(lines, pointers, indices, values, [&](const typed_array& p, const typed_array& i,
                                                                const void* data, std::size_t count, std::size_t bytes) {
    return std::make_unique<compressed_reorder>(lines, width, p, i, data, count, bytes, o, names, "row");
  });
}

// The rows of a block grouped by the block of the result each goes to, to[r] the place of row
// r in the result and starts the blocks' starts: (order, places, cuts), as row_groups holds them.
py::tuple rows_grouped(py::array to, py::array starts) {
  std::vector<py::array> holder;
  const typed_array places = typed(to, holder, "to");
  const auto s = py::array_t<std::int64_t, py::array::c_style>::ensure(starts);
  if (!s || s.ndim() != 1) throw py::value_error("starts must be integers, in 1 dimension");
  row_groups groups;
  // Without the GIL: a Dask worker's transfers wait for it.
  released([&](worker*, interruption*) {
    groups = rows_by_block(places, std::span(s.data(), static_cast<std::size_t>(s.size())));
  });
  return py::make_tuple(array_owning(std::move(groups.order)), array_owning(std::move(groups.places)),
                        array_owning(std::move(groups.cuts)));
}

// The rows of one block of the result from the pieces (places, indptr, indices, data) the
// blocks of the input sent it: (data, indices, indptr) of CSR arrays.
py::tuple rows_joined(std::size_t width, const py::list& pieces) {
  std::vector<py::array> holder;
  std::vector<row_piece> parts;
  std::size_t lines = 0;
  py::dtype value_type = py::dtype::of<std::int32_t>(), index_type = py::dtype::of<std::int32_t>();
  for (const py::handle piece : pieces) {
    const auto fields = piece.cast<py::tuple>();
    if (fields.size() != 4) throw py::value_error("a piece is (places, indptr, indices, data)");
    py::array values = py::array::ensure(fields[3], py::array::c_style);
    if (!values || values.ndim() != 1) throw py::value_error("data must have 1 dimension");
    if (values.dtype().kind() == 'O') throw type_refused("data of Python objects is not reordered");
    if (parts.empty()) {
      value_type = values.dtype();
      index_type = py::array::ensure(fields[2]).dtype();
    } else if (!values.dtype().equal(value_type)) {
      throw type_refused("the pieces' data must be of one dtype");
    }
    holder.push_back(values);
    row_piece part{typed(fields[0].cast<py::array>(), holder, "places"), typed(fields[1].cast<py::array>(), holder, "indptr"),
                   typed(fields[2].cast<py::array>(), holder, "indices"), values.data(),
                   static_cast<std::size_t>(values.shape(0))};
    lines += part.places.size;
    parts.push_back(part);
  }
  const std::size_t value_bytes = static_cast<std::size_t>(value_type.itemsize());
  std::unique_ptr<joined_rows> join;
  released([&](worker*, interruption*) { join = std::make_unique<joined_rows>(lines, width, std::move(parts), value_bytes); });
  return written_arrays(*join, lines, index_type, value_type);
}

py::tuple coordinate_reorder_of(const py::tuple& shape, py::array rows, py::array columns, py::array values,
                                py::array order) {
  const std::size_t side = side_of(shape);
  std::vector<py::array> holder;
  const typed_array r = typed(rows, holder, "row"), k = typed(columns, holder, "col");
  if (values.ndim() != 1 || static_cast<std::size_t>(values.shape(0)) != r.size) {
    throw py::value_error("row, col and data hold " + std::to_string(r.size) + ", " + std::to_string(k.size) + " and " +
                          std::to_string(values.size()) + " entries");
  }
  const rank_order o = permutation(order, side);
  py::array out_rows(holder[0].dtype(), static_cast<py::ssize_t>(r.size));
  py::array out_columns(holder[1].dtype(), static_cast<py::ssize_t>(k.size));
  void* to_rows = out_rows.mutable_data();
  void* to_columns = out_columns.mutable_data();
  released([&](worker* helper, interruption* stop) {
    reorder_coordinates(side, r, k, o, to_rows, to_columns, helper, stop);
  });
  return py::make_tuple(out_rows, out_columns, values.attr("copy")());
}

// A path from Python, refused if it holds a NUL, which would cut it short for the system.
std::string path_of(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return path;
}

// A .frq file's shape, checked against its length, for Python to map it where it lies; or, for a
// file that cannot be mapped (a pipe), its counts, read and checked, with the shape.
py::tuple read_frq(const std::string& path) {
  finish_interrupted_publication(path);
  struct stat status;
  if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
    const count_matrix_input input = count_matrix_input::open(path);
    return py::make_tuple(input.rows(), input.columns(), py::none());
  }
  count_matrix matrix;
  {
    const py::gil_scoped_release unlocked;
    matrix = load_count_matrix(path);
  }
  const std::int32_t rows = matrix.rows, columns = matrix.columns;
  return py::make_tuple(rows, columns, array_owning(std::move(matrix.counts)));
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

void write_dense(const std::string& path, py::array a) {
  const strided_square square = dense(a);
  released([&](worker*, interruption* stop) {
    strided_rows rows(square, stop);
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
  });
}

void write_rows_of(const std::string& path, nonzero_source& source) {
  const std::size_t side = source.side();
  write_frq(path, side, [&](row_sink& writer) {
    std::vector<std::int32_t> row(side, 0);
    nonzero_block block;
    for (std::size_t r = 0; r < side; ++r) {
      source.read_rows(r, r + 1, block);
      if (block.columns.empty()) continue;
      for (std::size_t i = 0; i < block.columns.size(); ++i) row[static_cast<std::size_t>(block.columns[i])] = block.counts[i];
      writer.row(r, row);
      for (const std::int32_t k : block.columns) row[static_cast<std::size_t>(k)] = 0;
    }
  });
}

void write_compressed(const std::string& path, const py::tuple& shape, py::array pointers, py::array indices,
                      py::array values) {
  std::vector<py::array> holder;
  const compressed_arrays arrays{side_of(shape), typed(pointers, holder, "indptr"), typed(indices, holder, "indices"),
                                 typed(values, holder, "data")};
  released([&](worker*, interruption* stop) {
    compressed_rows rows(arrays, stop);
    write_rows_of(path, rows);
  });
}

// A file the system could not open or write is an OSError of its errno's kind
// (FileNotFoundError, PermissionError, ...), with the file's name; a file whose contents are
// not a count matrix is a ValueError.
void translate(std::exception_ptr failure) {
  try {
    if (failure) std::rethrow_exception(failure);
  } catch (const file_error& e) {
    if (e.error_number() == 0) {
      PyErr_SetString(PyExc_ValueError, e.what());
      return;
    }
    const py::object error = py::reinterpret_steal<py::object>(
        PyObject_CallFunction(PyExc_OSError, "isO", e.error_number(), e.reason().c_str(),
                              py::str(e.path()).ptr()));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  } catch (const type_refused& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  }
}

// The pieces of a ranking made in parts (tornavel.dask): each block's values checked into counts
// of its own, its partial sums, their row-order continuation, and the scores and order of the
// merged sums.

// A block's values (1-D, any count type) as counts: (counts, -1, "") or, for a value the rules
// refuse, (None, its index, why), which the caller names by the element's place in the whole.
py::tuple checked_counts(py::array values) {
  std::vector<py::array> holder;
  const typed_array a = typed(values, holder, "a block's values");
  py::array_t<std::int32_t> counts(static_cast<py::ssize_t>(a.size));
  std::int32_t* out = counts.mutable_data();
  std::int64_t fault_at = -1;
  std::string why;
  with_element_type(a.type, [&](auto zero) {
    using T = decltype(zero);
    const T* in = a.as<T>();
    bool fault = false;
    for (std::size_t i = 0; i < a.size; ++i) out[i] = count_or_fault(in[i], fault);
    if (!fault) return;
    for (std::size_t i = 0; i < a.size; ++i) {
      if (std::string reason = value_fault_of(in[i]); !reason.empty()) {
        fault_at = static_cast<std::int64_t>(i);
        why = std::move(reason);
        return;
      }
    }
  });
  if (fault_at >= 0) return py::make_tuple(py::none(), fault_at, why);
  return py::make_tuple(counts, -1, "");
}

py::array_t<std::int32_t, py::array::c_style> int32_array(const py::array& a) {
  return py::array_t<std::int32_t, py::array::c_style>::ensure(a);
}

dense_block dense_block_of(const py::array_t<std::int32_t, py::array::c_style>& rows) {
  if (rows.ndim() != 2) throw py::value_error("a block has 2 dimensions");
  return {std::span(rows.data(), static_cast<std::size_t>(rows.size())), static_cast<std::size_t>(rows.shape(1))};
}

py::tuple partials_tuple(column_partials&& p) {
  py::array_t<std::int64_t> counts(static_cast<py::ssize_t>(p.counts.size()), p.counts.data());
  py::array_t<double> entries(static_cast<py::ssize_t>(p.entries.size()), p.entries.data());
  return py::make_tuple(counts, entries);
}

// The parts' sums, (counts, entries) each, added column by column.
py::tuple merged_partials(const py::list& parts) {
  column_partials whole;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const auto part = parts[i].cast<py::tuple>();
    if (part.size() != 2) throw py::value_error("a part is (counts, entries)");
    const auto counts = py::array_t<std::int64_t, py::array::c_style>::ensure(part[0]);
    const auto entries = py::array_t<double, py::array::c_style>::ensure(part[1]);
    if (!counts || !entries || counts.ndim() != 1 || entries.ndim() != 1 || counts.size() != entries.size() ||
        (i > 0 && static_cast<std::size_t>(counts.size()) != whole.counts.size())) {
      throw py::value_error("every part needs a count sum and an entry sum for each column");
    }
    column_partials sums{std::vector<std::int64_t>(counts.data(), counts.data() + counts.size()),
                         std::vector<double>(entries.data(), entries.data() + entries.size())};
    if (i == 0) {
      whole = std::move(sums);
    } else {
      merge_partials(whole, sums);
    }
  }
  return partials_tuple(std::move(whole));
}

// A CSR block over arrays the caller keeps alive.
struct sparse_arrays_of_block {
  py::array_t<std::int64_t, py::array::c_style> starts;
  py::array_t<std::int32_t, py::array::c_style> columns, values;
  sparse_block block(std::size_t width) const {
    return {std::span(starts.data(), static_cast<std::size_t>(starts.size())),
            std::span(columns.data(), static_cast<std::size_t>(columns.size())),
            std::span(values.data(), static_cast<std::size_t>(values.size())), width};
  }
};

sparse_arrays_of_block sparse_arrays(const py::array& starts, const py::array& columns, const py::array& values) {
  return {py::array_t<std::int64_t, py::array::c_style>::ensure(starts), int32_array(columns), int32_array(values)};
}

py::tuple dense_partials(const py::array& rows) {
  const auto counts = int32_array(rows);
  const dense_block block = dense_block_of(counts);
  column_partials p;
  {
    const py::gil_scoped_release unlocked;
    p = partials_of(block);
  }
  return partials_tuple(std::move(p));
}

py::tuple sparse_partials(const py::array& starts, const py::array& columns, const py::array& values,
                          std::size_t width) {
  const sparse_arrays_of_block arrays = sparse_arrays(starts, columns, values);
  column_partials p;
  {
    const py::gil_scoped_release unlocked;
    p = partials_of(arrays.block(width));
  }
  return partials_tuple(std::move(p));
}

// running, copied, with the listed columns' entries added in row order.
template <typename Block>
py::array_t<double> continued(const Block& block, const py::array& listed, const py::array& running) {
  const auto l = int32_array(listed);
  py::array_t<double> out = py::array_t<double, py::array::c_style>::ensure(running).attr("copy")();
  continue_in_row_order(block, std::span(l.data(), static_cast<std::size_t>(l.size())),
                        std::span(out.mutable_data(), static_cast<std::size_t>(out.size())));
  return out;
}

py::array_t<double> dense_continue(const py::array& rows, const py::array& listed, const py::array& running) {
  const auto counts = int32_array(rows);
  return continued(dense_block_of(counts), listed, running);
}

py::array_t<double> sparse_continue(const py::array& starts, const py::array& columns, const py::array& values,
                                    std::size_t width, const py::array& listed, const py::array& running) {
  const sparse_arrays_of_block arrays = sparse_arrays(starts, columns, values);
  return continued(arrays.block(width), listed, running);
}

py::object scores_from_sums_of(const py::array& counts, const py::array& entries, const std::string& want) {
  const auto c = py::array_t<std::int64_t, py::array::c_style>::ensure(counts);
  const auto e = py::array_t<double, py::array::c_style>::ensure(entries);
  if (c.size() != e.size()) throw py::value_error("as many entry sums as count sums are needed");
  column_ranks records = scores_of({std::vector<std::int64_t>(c.data(), c.data() + c.size()),
                                    std::vector<double>(e.data(), e.data() + e.size())});
  rank_order order;
  const result wanted = result_named(want);
  if (wanted != result::scores) order = rank_columns(records);
  return result_of(wanted, records, order);
}

}  // namespace
}  // namespace tornavel

PYBIND11_MODULE(_tornavel, module) {
  using namespace tornavel;
  module.doc() = "The compiled core of tornavel; use the package's functions.";
  module.attr("__version__") = TORNAVEL_VERSION;
  py::register_exception_translator(translate);
  // want: "scores", "order" or "ranked".
  module.def("dense_ranking", &dense_ranking, py::arg("array"), py::arg("want"));
  module.def("compressed_ranking", &compressed_ranking, py::arg("shape"), py::arg("indptr"), py::arg("indices"),
             py::arg("data"), py::arg("by_rows"), py::arg("want"));
  module.def("coordinate_ranking", &coordinate_ranking, py::arg("shape"), py::arg("row"), py::arg("col"),
             py::arg("data"), py::arg("want"));
  module.def("permutation", [](py::array order, const py::tuple& shape) {
    return order_array(permutation(order, side_of(shape)));
  }, py::arg("order"), py::arg("shape"));
  module.def("dense_reorder", &dense_reorder, py::arg("array"), py::arg("order"));
  // The pieces of a ranking in parts: blocks' values are checked counts (checked_counts), dense
  // as int32 rows, sparse as CSR with int64 starts and int32 columns.
  module.def("checked_counts", &checked_counts, py::arg("values"));
  module.def("dense_partials", &dense_partials, py::arg("rows"));
  module.def("sparse_partials", &sparse_partials, py::arg("starts"), py::arg("columns"), py::arg("values"),
             py::arg("width"));
  module.def("merged_partials", &merged_partials, py::arg("parts"));
  module.def("dense_continue", &dense_continue, py::arg("rows"), py::arg("listed"), py::arg("running"));
  module.def("sparse_continue", &sparse_continue, py::arg("starts"), py::arg("columns"), py::arg("values"),
             py::arg("width"), py::arg("listed"), py::arg("running"));
  module.def("scores_from_sums", &scores_from_sums_of, py::arg("counts"), py::arg("entries"), py::arg("want"));
  module.def("compressed_reorder", &compressed_reorder_of, py::arg("shape"), py::arg("indptr"), py::arg("indices"),
             py::arg("data"), py::arg("order"), py::arg("by_rows"));
  module.def("rows_reordered", &rows_reordered, py::arg("lines"), py::arg("width"), py::arg("indptr"),
             py::arg("indices"), py::arg("data"), py::arg("order"), py::arg("rename"));
  module.def("rows_joined", &rows_joined, py::arg("width"), py::arg("pieces"));
  module.def("rows_grouped", &rows_grouped, py::arg("to"), py::arg("starts"));
  module.def("coordinate_reorder", &coordinate_reorder_of, py::arg("shape"), py::arg("row"), py::arg("col"),
             py::arg("data"), py::arg("order"));
  module.def("run", [](const std::string& path, const std::string& folder) {
    const std::string input = path_of(path), out = path_of(folder);
    released([&](worker* helper, interruption* stop) {
      job_options options;
      options.helper = helper;
      options.stop = stop;
      run_job(input, out, options);
    });
  });
  // (rows, columns, None) for a file to map, (rows, columns, counts) for one read whole.
  module.def("read", [](const std::string& path) { return read_frq(path_of(path)); });
  module.def("write_dense", [](const std::string& path, py::array a) { write_dense(path_of(path), a); });
  module.def("write_compressed", [](const std::string& path, const py::tuple& shape, py::array indptr,
                                    py::array indices, py::array data) {
    write_compressed(path_of(path), shape, indptr, indices, data);
  });
}
