"""Rank the items of a count matrix by the log of their columns' multinomial coefficients.

The ranking of the command-line tool tornavel, bit for bit, for matrices held in NumPy, SciPy and
pandas: a square matrix of counts whose rows and columns are indexed by the same items.
Column k scores ln(c!) - sum of ln(x!) over its counts x with sum c, and the items are ranked by
descending score, ties by ascending index.

    >>> import numpy as np, tornavel
    >>> m = np.array([[2, 0, 1], [2, 3, 0], [0, 0, 1]])
    >>> tornavel.rank(m)
    array([0, 2, 1], dtype=int32)
    >>> tornavel.reorder(m, tornavel.rank(m))
    array([[2, 1, 0],
           [0, 1, 0],
           [2, 0, 3]])

A matrix may be a 2-D NumPy array (or anything np.asarray makes one of) of any integer dtype,
bool, float32 or float64 holding whole values, in any memory layout; a SciPy sparse matrix or
array of any format, scored from its non-zero counts alone (CSR, CSC and COO where they lie,
repeated entries of one place added up); or a pandas DataFrame whose index and columns name the
same items in the same order. Counts are whole numbers from 0 to 2**31 - 1: anything else raises
ValueError naming its row and column (the first in row order); a dtype that holds no counts
raises TypeError. A masked array with a masked value is refused: fill it first (m.filled(0)).

The work runs without the GIL, on a second core where one is free; calls from many threads at
once, and from forked children, each get the one-thread result. Ctrl-C stops a long call within
a fraction of a second.
"""

import numbers
import os
import sys
from typing import TYPE_CHECKING, Any, Union

import numpy as np
import numpy.typing as npt

from . import _tornavel

if TYPE_CHECKING:
    import pandas

__version__: str = _tornavel.__version__
PathLike = Union[str, "os.PathLike[str]"]
__all__ = ["scores", "rank", "ranked", "reorder", "read", "write", "run"]


def _kind(m):
    """'frame', 'sparse' or 'dense': a DataFrame or a SciPy sparse matrix can exist only once
    their libraries are imported, so neither is imported for a matrix of neither."""
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(m, pandas.DataFrame):
        return "frame"
    sparse = sys.modules.get("scipy.sparse")
    if sparse is not None and sparse.issparse(m):
        return "sparse"
    return "dense"


def _dense(m):
    """A dense matrix as an ndarray, where it lies if it is one."""
    if isinstance(m, np.ma.MaskedArray):
        masked = np.ma.getmaskarray(m)
        if masked.any():
            row, column = np.argwhere(masked)[0]
            raise ValueError(f"element ({row}, {column}): masked (m.filled(0) ranks masked values as zeros)")
        m = m.data
    return np.asarray(m)


def _labels_differ(index, columns):
    """Why the index and the columns of a DataFrame do not name the same items, or None."""
    a, b = list(index), list(columns)
    if a == b or len(a) != len(b):
        return None  # a shape that is not square is refused as such
    from pandas.api.types import is_numeric_dtype
    # Numbers on one side and their text on the other (read_csv(index_col=0) of a table with
    # integer labels gives such a pair) name the same items.
    if is_numeric_dtype(index.dtype) != is_numeric_dtype(columns.dtype):
        a, b = [str(x) for x in a], [str(x) for x in b]
        if a == b:
            return None
    at = next(i for i, (x, y) in enumerate(zip(a, b)) if x != y)
    how = "the same items in another order" if set(a) == set(b) else "different items"
    return (f"the index and the columns of the DataFrame name {how}: "
            f"item {at} is {a[at]!r} in the index and {b[at]!r} in the columns")


def _check_labels(f):
    why = _labels_differ(f.index, f.columns)
    if why:
        raise ValueError(why)


def _column_counts(column, k):
    """One column of a DataFrame as a NumPy array of numbers: nullable integers, booleans and
    floats as their NumPy kinds, and a column of Python objects only if each is a number."""
    if column.dtype.kind in "biuf" and isinstance(column.dtype, np.dtype):
        return column.to_numpy()
    missing = column.isna().to_numpy()
    if missing.any():
        raise ValueError(f"element ({int(np.argmax(missing))}, {k}): missing value")
    values = column.to_numpy()
    if values.dtype.kind == "O":
        for row, value in enumerate(values):
            if not isinstance(value, numbers.Real):
                raise TypeError(f"element ({row}, {k}): {value!r} is not a number")
        values = np.array(values.tolist())
        if values.dtype.kind == "O":  # integers too large for int64: refused as the floats they are near
            values = values.astype(np.float64)
        return values
    return column.to_numpy(dtype=np.float64 if column.dtype.kind == "f" else None)


def _frame_counts(f):
    """The counts of a DataFrame whose index and columns name the same items, as an array."""
    _check_labels(f)
    if all(isinstance(t, np.dtype) and t.kind in "biuf" for t in f.dtypes):
        return f.to_numpy()
    if f.shape[1] == 0:
        return np.zeros(f.shape, np.int32)
    return np.column_stack([_column_counts(f.iloc[:, k], k) for k in range(f.shape[1])])


def _ranking(m, want):
    """The library's ranking of m: want is "scores", "order" or "ranked"."""
    kind = _kind(m)
    if kind == "sparse":
        if m.format in ("csr", "csc"):
            return _tornavel.compressed_ranking(m.shape, m.indptr, m.indices, m.data, m.format == "csr", want)
        if m.format == "coo":
            return _tornavel.coordinate_ranking(m.shape, m.row, m.col, m.data, want)
        c = m.tocsr()  # DOK, LIL, BSR, DIA: converted
        return _tornavel.compressed_ranking(c.shape, c.indptr, c.indices, c.data, True, want)
    if kind == "frame":
        return _tornavel.dense_ranking(_frame_counts(m), want)
    return _tornavel.dense_ranking(_dense(m), want)


def scores(m: Any) -> Union[npt.NDArray[np.float32], "pandas.Series"]:
    """The score of every column, as float32: what tornavel computes for the same matrix.

    Column k scores ln(c!) - sum of ln(x!) over its counts x with sum c, with the tool's
    arithmetic to the bit: ln(j!) the binary64 running sum of log(1) .. log(j) rounded to
    binary32, a column's entries added in binary64 in row order, the score rounded to binary32.
    A sparse matrix is scored from its non-zero counts alone, with the same bits. For a
    DataFrame, a pandas Series of the scores indexed by its labels.
    """
    s = _ranking(m, "scores")
    if _kind(m) == "frame":
        return sys.modules["pandas"].Series(s, index=m.columns, name="score")
    return s


def rank(m: Any) -> npt.NDArray[np.int32]:
    """The column indices in rank order, as int32: highest score first, ties by ascending index.

    The same as the tornavel.ord the command writes for the same matrix: entry i is the column
    ranked i-th, as np.argsort gives (not the rank of each column, as scipy.stats.rankdata and
    Series.rank give: that is the inverse permutation, np.argsort(rank(m))).
    """
    return _ranking(m, "order")


def ranked(m: Any) -> Union[np.recarray, "pandas.Series"]:
    """The items in rank order with their scores, in one call.

    For a DataFrame, a pandas Series of the scores indexed by the labels in rank order; for any
    other matrix, a NumPy record array of (column, score) in rank order: the tool's column_rank
    records, int32 and float32.
    """
    order, ranked_scores = _ranking(m, "ranked")
    if _kind(m) == "frame":
        return sys.modules["pandas"].Series(ranked_scores, index=m.columns[order], name="score")
    out = np.empty(len(order), dtype=[("column", np.int32), ("score", np.float32)])
    out["column"], out["score"] = order, ranked_scores
    return out.view(np.recarray)


def _reorder_sparse(m, o):
    import scipy.sparse as sp
    if m.format in ("csr", "csc"):
        data, indices, indptr = _tornavel.compressed_reorder(m.shape, m.indptr, m.indices, m.data, o,
                                                             m.format == "csr")
        return type(m)((data, indices, indptr.astype(m.indptr.dtype, copy=False)), shape=m.shape)
    if m.format == "coo":
        row, col, data = _tornavel.coordinate_reorder(m.shape, m.row, m.col, m.data, o)
        return type(m)((data, (row, col)), shape=m.shape)
    # DOK, LIL, BSR, DIA: reordered as CSR, then given back their format.
    array = type(m).__name__.endswith("_array")
    c = (sp.csr_array if array else sp.csr_matrix)(m)
    return _reorder_sparse(c, o).asformat(m.format)


def reorder(m: Any, order: npt.ArrayLike) -> Any:
    """The matrix with rows and columns both permuted by order.

    Row and column i of the result are row and column order[i] of m, so with order = rank(m)
    the highest-ranked item comes first on both axes (what tornavel writes as tornavel.frq).
    A DataFrame keeps its labels, permuted alike; a sparse matrix keeps its format and class; a
    dense matrix comes back as a new NumPy ndarray (an np.matrix as an np.matrix, a masked
    array as a masked array with its mask permuted alike; a memmap as an ndarray in memory).
    """
    kind = _kind(m)
    if kind == "frame":
        _check_labels(m)
        o = _tornavel.permutation(np.asarray(order), m.shape)
        return m.iloc[o, o]
    if kind == "sparse":
        return _reorder_sparse(m, np.asarray(order))
    if isinstance(m, np.ma.MaskedArray):
        return np.ma.array(reorder(m.data, order), mask=reorder(np.ma.getmaskarray(m), order))
    a = np.asarray(m)
    if a.dtype.kind in "biufcmM" and a.itemsize in (1, 2, 4, 8):
        out = _tornavel.dense_reorder(a, np.asarray(order))
    else:  # other dtypes (objects, text, wider numbers): as NumPy reorders them
        o = _tornavel.permutation(np.asarray(order), a.shape)
        out = a[np.ix_(o, o)]
    return np.asmatrix(out) if isinstance(m, np.matrix) else out


def read(path: PathLike) -> npt.NDArray[np.int32]:
    """The count matrix of a .frq file, as a read-only numpy.memmap of '<i4' (rows, columns).

    A file that cannot be mapped (a pipe) is read into an array instead. The header is checked
    against the file's length; the counts are checked when they are ranked.
    """
    path = os.fspath(path)
    rows, columns, counts = _tornavel.read(path)
    if counts is not None:
        return counts.reshape(rows, columns)
    if rows == 0 or columns == 0:
        return np.zeros((rows, columns), "<i4")
    return np.memmap(path, "<i4", "r", offset=8, shape=(rows, columns))


def write(path: PathLike, m: Any) -> None:
    """Writes m as a .frq file at path, as tornavel writes its own.

    The file appears whole or not at all: written beside its name and renamed into place. The
    counts are checked as they are written; a sparse matrix's rows of zeros are left as a hole.
    """
    path = os.fspath(path)
    kind = _kind(m)
    if kind == "sparse":
        if m.format != "csr":
            # SciPy converts arrays as they come: here, a copy no other thread holds, checked
            # first as rank checks it.
            m = m.copy()
            _ranking(m, "scores")
            m = m.tocsr()
        _tornavel.write_compressed(path, m.shape, m.indptr, m.indices, m.data)
    elif kind == "frame":
        _tornavel.write_dense(path, _frame_counts(m))
    else:
        _tornavel.write_dense(path, _dense(m))


def run(path: PathLike, folder: PathLike = ".") -> None:
    """The whole job of the command, exactly: ranks the .frq file at path and publishes
    tornavel.ord and tornavel.frq in folder together, as the command does in its current folder.

    Stopped (Ctrl-C) before it publishes, it leaves the folder as it was.
    """
    _tornavel.run(os.fspath(path), os.fspath(folder))
