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

A matrix may be a 2-D NumPy array of any integer dtype, bool, float32 or float64 (whole values),
in any memory layout; a SciPy sparse matrix or array of any format, scored from its non-zero
counts alone; or a pandas DataFrame whose index and columns name the same items in the same
order. Counts must be whole numbers from 0 to 2**31 - 1: anything else raises ValueError naming
its row and column. The work runs without the GIL, on two cores where there are two.
"""

import os

import numpy as np

from . import _tornavel

__all__ = ["scores", "rank", "reorder", "read", "write", "run"]


def _is_sparse(m):
    try:
        import scipy.sparse
    except ImportError:
        return False
    return scipy.sparse.issparse(m)


def _is_frame(m):
    try:
        import pandas
    except ImportError:
        return False
    return isinstance(m, pandas.DataFrame)


def _square(shape):
    if len(shape) != 2:
        raise ValueError(f"a count matrix has 2 dimensions, not {len(shape)}")
    if shape[0] != shape[1]:
        raise ValueError(f"matrix is not square ({shape[0]} rows, {shape[1]} columns)")


def _dense(m):
    """The counts of a dense matrix as an array the core reads where it lies."""
    if _is_frame(m):
        if list(m.index) != list(m.columns):
            raise ValueError("the index and the columns of the DataFrame name different items")
        m = m.to_numpy()
    a = np.asarray(m)
    _square(a.shape)
    if a.dtype.kind not in "iubf":
        raise ValueError(f"unsupported dtype {a.dtype} (integers, bool, float32, float64)")
    if not a.dtype.isnative:
        a = a.astype(a.dtype.newbyteorder("="))
    return a


def _csr(m):
    """A sparse matrix in canonical CSR form: rows in order, no repeated entries."""
    _square(m.shape)
    c = m.tocsr()
    if not c.has_canonical_format:
        c = c.copy()
        c.sum_duplicates()
    data = c.data
    if data.dtype.kind not in "iubf":
        raise ValueError(f"unsupported dtype {data.dtype} (integers, bool, float32, float64)")
    if not data.dtype.isnative:
        data = data.astype(data.dtype.newbyteorder("="))
    return c.shape[0], c.indptr, c.indices, data


def scores(m):
    """The score of every column, as float32: what tornavel computes for the same matrix.

    Column k scores ln(c!) - sum of ln(x!) over its counts x with sum c, with the tool's
    arithmetic to the bit: ln(j!) the binary64 running sum of log(1) .. log(j) rounded to
    binary32, a column's entries added in binary64 in row order, the score rounded to binary32.
    A sparse matrix is scored from its non-zero counts alone, with the same bits.
    """
    if _is_sparse(m):
        return _tornavel.csr_scores(*_csr(m))
    return _tornavel.dense_scores(_dense(m))


def rank(m):
    """The columns in rank order, as int32: highest score first, ties by ascending column.

    The same as the tornavel.ord the command writes for the same matrix.
    """
    if _is_sparse(m):
        return _tornavel.csr_rank(*_csr(m))
    return _tornavel.dense_rank(_dense(m))


def _permutation(order, n):
    o = np.asarray(order)
    if o.shape != (n,) or o.dtype.kind not in "iu":
        raise ValueError(f"the order must be {n} integers")
    o = o.astype(np.intp, copy=False)
    if n and (o.min() < 0 or o.max() >= n or np.bincount(o, minlength=n).max() != 1):
        raise ValueError(f"the order is not a permutation of 0 .. {n - 1}")
    return o


def reorder(m, order):
    """The matrix with rows and columns both permuted by order, of the same kind as m.

    Row and column i of the result are row and column order[i] of m, so with order = rank(m)
    the highest-ranked item comes first on both axes (what tornavel writes as tornavel.frq).
    A DataFrame keeps its labels, permuted alike; a sparse matrix keeps its format.
    """
    n = m.shape[0]
    if len(m.shape) != 2 or m.shape[0] != m.shape[1]:
        _square(m.shape)
    o = _permutation(order, n)
    if _is_frame(m):
        if list(m.index) != list(m.columns):
            raise ValueError("the index and the columns of the DataFrame name different items")
        return m.iloc[o, o]
    if _is_sparse(m):
        import scipy.sparse as sp
        c = m.tocsr()
        data, indices, indptr = _tornavel.csr_reorder(n, c.indptr, c.indices, c.data, o.astype(np.int64))
        # A sparse array stays an array (SciPy names those classes *_array).
        kind = sp.csr_array if type(m).__name__.endswith("_array") else sp.csr_matrix
        out = kind((data, indices, indptr.astype(c.indptr.dtype, copy=False)), shape=m.shape)
        return out.asformat(m.format)
    return np.asarray(m)[np.ix_(o, o)]


def read(path):
    """The count matrix of a .frq file, as a read-only numpy.memmap of '<i4' (rows, columns).

    A file that cannot be mapped (a pipe) is read into an array instead. The header is checked
    against the file's length; the counts are checked when they are ranked.
    """
    path = os.fspath(path)
    _tornavel.settle(path)
    with open(path, "rb") as f:
        header = f.read(8)
        if len(header) < 8:
            raise ValueError(f"{path}: file is too short to hold a header ({len(header)} bytes)")
        columns, rows = (int(v) for v in np.frombuffer(header, "<i4"))
        if columns < 0 or rows < 0:
            raise ValueError(f"{path}: header gives a negative number of columns or rows")
        if rows and columns and rows != columns:
            raise ValueError(f"{path}: matrix is not square ({columns} columns, {rows} rows)")
        if rows == 0 or columns == 0:
            return np.zeros((rows, columns), "<i4")
        size = os.fstat(f.fileno()).st_size
        if os.path.isfile(path) and size > 0:
            if size < 8 + 4 * rows * columns:
                raise ValueError(f"{path}: file is shorter than its header says")
            return np.memmap(path, "<i4", "r", offset=8, shape=(rows, columns))
        counts = np.frombuffer(f.read(4 * rows * columns), "<i4")
    if counts.size != rows * columns:
        raise ValueError(f"{path}: file is shorter than its header says")
    return counts.reshape(rows, columns)


def write(path, m):
    """Writes m as a .frq file at path, as tornavel writes its own.

    The file appears whole or not at all: written beside its name and renamed into place. The
    counts are checked as they are written; a sparse matrix's rows of zeros are left as a hole.
    """
    path = os.fspath(path)
    if _is_sparse(m):
        _tornavel.write_csr(path, *_csr(m))
    else:
        _tornavel.write_dense(path, _dense(m))


def run(path, folder="."):
    """The whole job of the command, exactly: ranks the .frq file at path and publishes
    tornavel.ord and tornavel.frq in folder together, as the command does in its current folder.
    """
    _tornavel.run(os.fspath(path), os.fspath(folder))
