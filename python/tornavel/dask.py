"""Rank a count matrix held as a dask.array, on any scheduler, to the bit as tornavel does.

    >>> import dask.array as da, numpy as np, tornavel.dask
    >>> m = da.from_array(np.array([[2, 0, 1], [2, 3, 0], [0, 0, 1]]), chunks=2)
    >>> tornavel.dask.rank(m)
    array([0, 2, 1], dtype=int32)

Chunks may be NumPy arrays or SciPy sparse matrices, in any chunking of rows and columns. Each
chunk is reduced where it lies to its columns' partial sums (count sums and sums of
log-factorial table entries), which are merged in any order: the sum of table entries of a
column is exact in any order while it stays below 2**29, so the result is the one-machine
result to the bit. The rare columns past that are summed again in row order, one pass over
their chunks in order, carrying each column's running sum. Only the partial sums (16 bytes a
column a chunk) travel between workers for scores and rank; reorder moves the matrix, as any
permutation of it must.

scores and rank compute at once and return NumPy arrays; reorder returns a dask array, lazily.
A value that is not a count raises ValueError naming its element's place in the whole matrix,
the first in row order, as tornavel.scores does for the same matrix in memory. This module
imports Dask; the rest of tornavel works without it.
"""

import os

import dask
import dask.array as da
import numpy as np

from . import _tornavel

__all__ = ["scores", "rank", "reorder", "read"]

_EXACT_BELOW = 2.0 ** 29


def _starts(chunks):
    return np.concatenate([[0], np.cumsum(chunks)]).astype(np.int64)


def _checked(values, place):
    """values (1-D) as int32 counts; a refused one is returned as (row, column, why) by place(i)."""
    counts, at, why = _tornavel.checked_counts(np.ascontiguousarray(values).ravel())
    if counts is None:
        return None, (*place(at), why)
    return counts, None


def _block(block, row0, column0):
    """A chunk as checked counts: ("dense", rows) or ("sparse", starts, columns, values, width),
    or ("refused", row, column, why) for the first value in its row order that is no count."""
    if hasattr(block, "tocsr") and hasattr(block, "nnz"):  # SciPy sparse, any format
        import scipy.sparse
        # A copy of our own, checked before any index is used: its pointers and indices must
        # agree with its shape; repeated entries of a place add up, whatever its flags say.
        block = block.copy()
        if block.format in ("csr", "csc", "bsr"):
            block.check_format(full_check=True)
        coo = scipy.sparse.coo_matrix(block)
        height, width = coo.shape
        if coo.nnz and (coo.row.min() < 0 or coo.col.min() < 0 or coo.row.max() >= height or coo.col.max() >= width):
            raise ValueError("a chunk's entry lies outside its shape")
        coo.has_canonical_format = False
        coo.sum_duplicates()
        csr = coo.tocsr()
        csr.sort_indices()
        rows = np.repeat(np.arange(csr.shape[0], dtype=np.int64), np.diff(csr.indptr))
        values, refused = _checked(csr.data, lambda i: (row0 + int(rows[i]), column0 + int(csr.indices[i])))
        if refused is not None:
            return ("refused", *refused)
        return ("sparse", csr.indptr.astype(np.int64), csr.indices.astype(np.int32), values, csr.shape[1])
    a = np.asarray(block)
    if a.ndim != 2:
        raise ValueError(f"a chunk has 2 dimensions, not {a.ndim}")
    width = a.shape[1]
    if a.dtype == np.int32 and a.dtype.isnative and a.flags.c_contiguous and (a.size == 0 or a.min() >= 0):
        return ("dense", a)  # counts already: used where they lie
    values, refused = _checked(a, lambda i: (row0 + i // width, column0 + i % width))
    if refused is not None:
        return ("refused", *refused)
    return ("dense", values.reshape(a.shape))


def _partials(block, row0, column0):
    b = _block(block, row0, column0)
    if b[0] == "refused":
        return b
    if b[0] == "dense":
        return ("sums", *_tornavel.dense_partials(b[1]))
    return ("sums", *_tornavel.sparse_partials(*b[1:]))


def _merge(*parts):
    """The parts of one band of columns, merged; the first refusal in row order, if any."""
    refused = [p for p in parts if p[0] == "refused"]
    if refused:
        return min(refused, key=lambda p: (p[1], p[2]))
    counts = sum(p[1] for p in parts)
    entries = parts[0][2].copy()
    for p in parts[1:]:
        entries += p[2]  # exact while below 2**29; others are summed again in row order
    return ("sums", counts, entries)


def _continue(block, row0, column0, listed, running):
    b = _block(block, row0, column0)
    if b[0] == "dense":
        return _tornavel.dense_continue(b[1], listed, running)
    return _tornavel.sparse_continue(*b[1:], listed, running)


def _matrix(m):
    if not isinstance(m, da.Array):
        raise TypeError(f"tornavel.dask takes a dask.array.Array, not {type(m).__name__}")
    if m.ndim != 2:
        raise ValueError(f"a count matrix has 2 dimensions, not {m.ndim}")
    if any(np.isnan(c) for axis in m.chunks for c in axis):
        raise ValueError("the chunk sizes are unknown (compute them first: m.compute_chunk_sizes())")
    rows, columns = m.shape
    if rows != columns:
        raise ValueError(f"matrix is not square ({rows} rows, {columns} columns)")
    return m


def _sums(m):
    """Every column's count sum and sum of table entries, as one machine adds them."""
    m = _matrix(m)
    blocks = m.to_delayed()
    row_starts, column_starts = _starts(m.chunks[0]), _starts(m.chunks[1])
    partials = dask.delayed(_partials, pure=True)
    bands = [dask.delayed(_merge, pure=True)(*[partials(blocks[i, j], row_starts[i], column_starts[j])
                                              for i in range(blocks.shape[0])])
             for j in range(blocks.shape[1])]
    merged = dask.compute(*bands)
    refused = [b for b in merged if b[0] == "refused"]
    if refused:
        _, row, column, why = min(refused, key=lambda p: (p[1], p[2]))
        raise ValueError(f"element ({row}, {column}): {why}")
    counts = np.concatenate([b[1] for b in merged]) if merged else np.zeros(0, np.int64)
    entries = np.concatenate([b[2] for b in merged]) if merged else np.zeros(0, np.float64)
    # Columns whose sum reached 2**29: their entries again, chunk after chunk in row order.
    chains = []
    for j in range(blocks.shape[1]):
        low, high = column_starts[j], column_starts[j + 1]
        listed = np.flatnonzero(entries[low:high] >= _EXACT_BELOW).astype(np.int32)
        if listed.size == 0:
            continue
        running = np.zeros(listed.size)
        for i in range(blocks.shape[0]):
            running = dask.delayed(_continue, pure=True)(blocks[i, j], row_starts[i], low, listed, running)
        chains.append((low + listed, running))
    for where, running in zip([c[0] for c in chains], dask.compute(*[c[1] for c in chains])):
        entries[where] = running
    return counts, entries


def scores(m):
    """Each column's score, as float32 by column: tornavel.scores of the whole matrix."""
    return _tornavel.scores_from_sums(*_sums(m), "scores")


def rank(m):
    """The columns in rank order (int32): tornavel.rank of the whole matrix."""
    return _tornavel.scores_from_sums(*_sums(m), "order")


def reorder(m, order=None):
    """The matrix with rows and columns both permuted by order (by default rank(m)), lazily,
    as a dask array: row and column i are row and column order[i] of m."""
    m = _matrix(m)
    if order is None:
        order = rank(m)
    o = _tornavel.permutation(np.asarray(order), m.shape).astype(np.int64)
    rows_permuted = _permute(m, o, 0)
    if len(m.chunks[1]) == 1:  # whole rows in each chunk: each permutes its own columns
        position = np.empty_like(o)
        position[o] = np.arange(len(o))
        # Sent once to each worker, not with every task.
        return rows_permuted.map_blocks(_permute_columns, dask.delayed(o, pure=True), dask.delayed(position, pure=True),
                                        dtype=m.dtype, meta=m._meta)
    return _permute(rows_permuted, o, 1)


def _permute_columns(block, o, position):
    """A chunk of whole rows with its columns permuted: a sparse one by renaming its column
    indices (time follows its entries, not the side), a dense one by taking them."""
    if hasattr(block, "tocsr") and hasattr(block, "nnz"):
        b = block.tocsr(copy=True)
        b.indices = position[b.indices].astype(b.indices.dtype)
        b.has_sorted_indices = False
        b.sort_indices()
        return b
    return np.asarray(block)[:, o]


def _pick(block, local, axis):
    if hasattr(block, "tocsr") and hasattr(block, "nnz"):
        block = block.tocsr()
    return block[local, :] if axis == 0 else block[:, local]


def _join(axis, order, *pieces):
    if len(pieces) == 1 and np.array_equal(order, np.arange(len(order))):
        return pieces[0]
    if hasattr(pieces[0], "tocsr") and hasattr(pieces[0], "nnz"):
        import scipy.sparse
        joined = (scipy.sparse.vstack if axis == 0 else scipy.sparse.hstack)(pieces, format="csr")
    else:
        joined = np.concatenate(pieces, axis=axis)
    return joined[order, :] if axis == 0 else joined[:, order]


def _permute(m, o, axis):
    """m with its rows (axis 0) or columns (1) permuted by o, in m's own chunks: each chunk of
    the result gathers the pieces it needs from the chunks that hold them, so the graph has one
    task a pair of chunks and the result the chunks of its input."""
    blocks = m.to_delayed()
    starts = _starts(m.chunks[axis])
    out = np.empty(blocks.shape, dtype=object)
    pick, join = dask.delayed(_pick, pure=True), dask.delayed(_join, pure=True)
    for target in range(len(m.chunks[axis])):
        wanted = o[starts[target]:starts[target + 1]]
        source = np.searchsorted(starts, wanted, side="right") - 1
        for other in range(len(m.chunks[1 - axis])):
            pieces, places = [], []
            for s in np.unique(source):
                chosen = np.flatnonzero(source == s)
                block = blocks[s, other] if axis == 0 else blocks[other, s]
                pieces.append(pick(block, wanted[chosen] - starts[s], axis))
                places.append(chosen)
            at = (target, other) if axis == 0 else (other, target)
            shape = (m.chunks[0][at[0]], m.chunks[1][at[1]])
            if not pieces:  # an empty chunk: as empty as the input's chunk in its place
                out[at] = m.blocks[at]
                continue
            order = np.argsort(np.concatenate(places), kind="stable")
            out[at] = da.from_delayed(join(axis, order, *pieces), shape, dtype=m.dtype, meta=m._meta)
    return da.block(out.tolist())


def _frq_rows(path, shape, r0, r1, c0, c1):
    """A chunk of the file, where it lies (a view of a read-only map; copied where it goes
    elsewhere)."""
    return np.asarray(np.memmap(path, "<i4", "r", offset=8, shape=shape)[r0:r1, c0:c1])


def _npy_rows(path, r0, r1, c0, c1):
    return np.asarray(np.load(path, mmap_mode="r")[r0:r1, c0:c1])


def read(path, chunks="auto"):
    """A .frq (or .npy) file as a dask array over a memory map: each chunk is read by the worker
    that needs it. The .frq header is checked against the file's length first."""
    path = os.fspath(path)
    if path.endswith(".npy"):
        header = np.load(path, mmap_mode="r")
        shape, dtype = header.shape, header.dtype
        read_chunk = lambda r0, r1, c0, c1: dask.delayed(_npy_rows, pure=True)(path, r0, r1, c0, c1)
    else:
        rows, columns, counts = _tornavel.read(path)
        if counts is not None:  # not a file that can be mapped: its counts as they came
            return da.from_array(counts.reshape(rows, columns), chunks=chunks)
        shape, dtype = (rows, columns), np.dtype("<i4")
        read_chunk = lambda r0, r1, c0, c1: dask.delayed(_frq_rows, pure=True)(path, shape, r0, r1, c0, c1)
    chunks = da.core.normalize_chunks(chunks, shape, dtype=dtype)
    row_starts, column_starts = _starts(chunks[0]), _starts(chunks[1])
    return da.block([[da.from_delayed(read_chunk(row_starts[i], row_starts[i + 1], column_starts[j],
                                                 column_starts[j + 1]),
                                      (chunks[0][i], chunks[1][j]), dtype=dtype)
                      for j in range(len(chunks[1]))] for i in range(len(chunks[0]))])
