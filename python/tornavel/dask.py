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

import collections
import operator
import os
import threading

import dask
import dask.array as da
import numpy as np
from dask.delayed import Delayed
from dask.highlevelgraph import HighLevelGraph

from . import _tornavel

__all__ = ["scores", "rank", "reorder", "read"]

_EXACT_BELOW = 2.0 ** 29
_GATHERED = 8  # the parts of a band one merge takes, here or on a worker: 16 bytes a column each
_GATHERED_BYTES = 2**26  # what may come here to be merged, at most


def _starts(chunks):
    return np.concatenate([[0], np.cumsum(chunks)]).astype(np.int64)


def _sparse(block):
    return hasattr(block, "tocsr") and hasattr(block, "nnz")  # SciPy sparse, any format


def _checked(values, place):
    """values (1-D) as int32 counts; a refused one is returned as (row, column, why) by place(i)."""
    counts, at, why = _tornavel.checked_counts(np.ascontiguousarray(values).ravel())
    if counts is None:
        return None, (*place(at), why)
    return counts, None


def _block(block, row0, column0):
    """A chunk as checked counts: ("dense", rows) or ("sparse", starts, columns, values, width),
    or ("refused", row, column, why) for the first value in its row order that is no count."""
    if _sparse(block):
        import scipy.sparse
        # Repeated entries of a place add up, whatever its flags say.
        coo = scipy.sparse.coo_matrix(_checked_copy(block))
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
    if isinstance(block, np.ndarray) and block.ndim == 2 and block.dtype == np.int32 and block.dtype.isnative \
            and block.flags.c_contiguous:
        try:
            return ("sums", *_tornavel.dense_partials(block))  # counts already: used where they lie
        except ValueError:
            pass  # a negative one, which the checks below find and name
    b = _block(block, row0, column0)
    if b[0] == "refused":
        return b
    if b[0] == "dense":
        return ("sums", *_tornavel.dense_partials(b[1]))
    return ("sums", *_tornavel.sparse_partials(*b[1:]))


def _add(layer, key, task):
    layer[key] = task
    return key


def _merge(*parts):
    """The parts of one band of columns, merged; the first refusal in row order, if any."""
    refused = [p for p in parts if p[0] == "refused"]
    if refused:
        return min(refused, key=lambda p: (p[1], p[2]))
    # Exact while below 2**29; the columns past it are summed again in row order.
    return ("sums", *_tornavel.merged_partials([p[1:] for p in parts]))


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
    graph = dask.utils.ensure_dict(m.__dask_optimize__(m.__dask_graph__(), m.__dask_keys__()))
    row_starts, column_starts = _starts(m.chunks[0]), _starts(m.chunks[1])
    token = dask.base.tokenize(m)
    name = f"tornavel-sums-{token}"
    layer, bands = {}, []
    # A band's last merge is here while what comes here stays small (a merge on a worker would
    # wait for its parts to arrive and then send its result on again), on the workers otherwise.
    taken = _GATHERED if 16 * m.shape[1] * _GATHERED <= _GATHERED_BYTES else 1
    for j in range(len(m.chunks[1])):
        parts = []
        for i in range(len(m.chunks[0])):
            chunk = graph[(m.name, i, j)]
            # A chunk made by a task of its own (a file's rows, say) is made by the task that sums
            # it: no wait between the two, and one task a chunk for the scheduler to place.
            if not (dask.core.istask(chunk) and not dask.core.get_dependencies(graph, task=chunk)):
                chunk = (m.name, i, j)
            parts.append((name, i, j))
            layer[parts[-1]] = (_partials, chunk, row_starts[i], column_starts[j])
        # Merged on the workers, _GATHERED at a time, until `taken` are left, and those here.
        depth = 0
        while len(parts) > taken:
            depth += 1
            parts = [_add(layer, (f"{name}-merged-{depth}", k, j), (_merge, *parts[k:k + _GATHERED]))
                     for k in range(0, len(parts), _GATHERED)]
        bands.append(parts)
    layer.update(graph)
    whole = HighLevelGraph.from_collections(name, layer, dependencies=())
    merged = [_merge(*parts) for parts in dask.compute(*[[Delayed(key, whole, layer=name) for key in parts]
                                                         for parts in bands])]
    refused = [b for b in merged if b[0] == "refused"]
    if refused:
        _, row, column, why = min(refused, key=lambda p: (p[1], p[2]))
        raise ValueError(f"element ({row}, {column}): {why}")
    counts = np.concatenate([b[1] for b in merged]) if merged else np.zeros(0, np.int64)
    entries = np.concatenate([b[2] for b in merged]) if merged else np.zeros(0, np.float64)
    # Columns whose sum reached 2**29: their entries again, chunk after chunk in row order.
    chains, blocks = [], None
    for j in range(len(m.chunks[1])):
        low, high = column_starts[j], column_starts[j + 1]
        listed = np.flatnonzero(entries[low:high] >= _EXACT_BELOW).astype(np.int32)
        if listed.size == 0:
            continue
        if blocks is None:  # the graph again only for the rare matrix that needs it
            blocks = m.to_delayed()
        running = np.zeros(listed.size)
        for i in range(blocks.shape[0]):
            running = dask.delayed(_continue, pure=True)(blocks[i, j], row_starts[i], low, listed, running)
        chains.append((low + listed, running))
    if chains:
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
    if len(m.chunks[1]) == 1:
        return _reorder_whole_rows(m, o)
    return _permute(_permute(m, o, 0), o, 1)


def _checked_copy(block):
    """A SciPy chunk copied and checked before any index is used: a chunk from elsewhere may be
    inconsistent, and an index out of its shape must not pick another entry."""
    block = block.copy()  # SciPy's copy of a COO chunk checks its indices against its shape
    if block.format in ("csr", "csc", "bsr"):
        block.check_format(full_check=True)
    return block


def _reorder_whole_rows(m, o):
    """Chunks of whole rows: each sends every chunk of the result the rows that go there, their
    columns already permuted and the rows in the result's order, and each chunk of the result
    joins what it is sent. Every entry moves once. The graph is written out whole: a task a
    chunk to split it, a piece a pair of chunks, a task a chunk to join, and nothing else for
    the scheduler to carry."""
    position = np.empty(len(o), np.int32)  # every side fits 32 bits; half the bytes to send
    position[o] = np.arange(len(o), dtype=np.int32)
    starts = _starts(m.chunks[0])
    token = dask.base.tokenize(m, o)
    name, split, piece = (f"tornavel-{what}-{token}" for what in ("reorder", "split", "piece"))
    position_key = f"tornavel-position-{token}"  # sent once to each worker, not with every task
    layer = {position_key: position}
    count = len(starts) - 1
    for i in range(count):
        layer[(split, i)] = (_split_rows, (m.name, i, 0), starts[i], starts[i + 1], position_key, starts)
        for t in range(count):
            layer[(piece, i, t)] = (operator.getitem, (split, i), t)
    for t in range(count):
        layer[(name, t, 0)] = (_join_rows, m.shape[1], *[(piece, i, t) for i in range(count)])
    graph = HighLevelGraph.from_collections(name, layer, dependencies=[m])
    return da.Array(graph, name, (m.chunks[0], (m.shape[1],)), meta=m._meta)


def _split_rows(block, r0, r1, position, starts):
    """Rows r0 .. r1 - 1 of the matrix with their columns permuted, as one piece for each chunk
    of the result: the rows' places in that chunk, ascending, and the rows in that order (a
    dense array, or a sparse one's (indptr, indices, data), each row's entries as they came)."""
    by, to, cuts = _tornavel.rows_grouped(position[r0:r1], starts)
    places = [to[c0:c1] for c0, c1 in zip(cuts[:-1], cuts[1:])]
    if _sparse(block):
        # The library checks a CSR chunk's pointers and indices before it uses them; another
        # format is checked before SciPy's conversion reads its indices.
        b = block if block.format == "csr" else _checked_copy(block).tocsr()
        data, indices, indptr = _tornavel.rows_reordered(b.shape[0], b.shape[1], b.indptr, b.indices, b.data, by,
                                                         position)
        return tuple((at, indptr[c0:c1 + 1] - indptr[c0], indices[indptr[c0]:indptr[c1]], data[indptr[c0]:indptr[c1]])
                     for at, c0, c1 in zip(places, cuts[:-1], cuts[1:]))
    o = np.empty_like(position)
    o[position] = np.arange(len(position), dtype=position.dtype)
    rows = np.asarray(block)[by][:, o]
    return tuple((at, rows[c0:c1]) for at, c0, c1 in zip(places, cuts[:-1], cuts[1:]))


def _join_rows(width, *pieces):
    """A chunk of the result from the pieces every chunk of the input sent it (together, each
    of its rows once)."""
    if len(pieces[0]) == 2:
        order = np.argsort(np.concatenate([p[0] for p in pieces]))
        return np.concatenate([p[1] for p in pieces], axis=0)[order]
    import scipy.sparse
    data, indices, indptr = _tornavel.rows_joined(width, list(pieces))
    return scipy.sparse.csr_matrix((data, indices, indptr), shape=(len(indptr) - 1, width))


def _pick(block, local, axis):
    if _sparse(block):
        block = _checked_copy(block).tocsr()
    return block[local, :] if axis == 0 else block[:, local]


def _join(axis, order, *pieces):
    if len(pieces) == 1 and np.array_equal(order, np.arange(len(order))):
        return pieces[0]
    if _sparse(pieces[0]):
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


class _Maps:
    """The rows of files this process has mapped, kept for the next task that reads them: a
    fresh map pays a page fault every 4 KiB, which costs more than adding the counts up. A
    worker's resident size counts the pages it keeps mapped, and Dask pauses or restarts a
    worker whose size nears its memory limit, so what is kept stays within an eighth of that
    limit (of the machine's memory outside a worker), the longest unused let go first. A file
    replaced, rewritten or resized since is mapped again."""

    def __init__(self):
        self.lock, self.held, self.bytes = threading.Lock(), collections.OrderedDict(), 0

    @staticmethod
    def budget():
        try:
            import distributed
            limit = distributed.get_worker().memory_manager.memory_limit
        except (ImportError, ValueError, AttributeError):
            limit = None
        if not limit:
            limit = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") // 2
        return limit // 8

    def rows(self, path, shape, r0, r1):
        """Rows r0 .. r1 - 1 of the .frq at path, of the given shape."""
        status = os.stat(path)
        identity = (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns)
        key = (path, tuple(shape), r0, r1)
        with self.lock:
            held = self.held.get(key)
            if held is not None and held[0] == identity:
                self.held.move_to_end(key)
                return held[1]
        rows = np.memmap(path, "<i4", "r", offset=8 + 4 * r0 * shape[1], shape=(r1 - r0, shape[1]))
        with self.lock:
            old = self.held.pop(key, None)
            if old is not None:
                self.bytes -= old[1].nbytes
            self.held[key] = (identity, rows)
            self.bytes += rows.nbytes
            budget = self.budget()
            while self.bytes > budget and len(self.held) > 1:
                self.bytes -= self.held.popitem(last=False)[1][1].nbytes
        return rows


_maps = _Maps()


def _frq_rows(path, shape, r0, r1, c0, c1):
    """A chunk of the file, where it lies (a view of a read-only map; copied where it goes
    elsewhere)."""
    return np.asarray(_maps.rows(path, shape, r0, r1)[:, c0:c1])


def _npy_rows(path, r0, r1, c0, c1):
    return np.asarray(np.load(path, mmap_mode="r")[r0:r1, c0:c1])


def read(path, chunks="auto"):
    """A .frq (or .npy) file as a dask array over a memory map: each chunk is read by the worker
    that needs it. The .frq header is checked against the file's length first."""
    path = os.fspath(path)
    if path.endswith(".npy"):
        header = np.load(path, mmap_mode="r")
        shape, dtype = header.shape, header.dtype
        task = lambda r0, r1, c0, c1: (_npy_rows, path, r0, r1, c0, c1)
    else:
        rows, columns, counts = _tornavel.read(path)
        if counts is not None:  # not a file that can be mapped: its counts as they came
            return da.from_array(counts.reshape(rows, columns), chunks=chunks)
        shape, dtype = (rows, columns), np.dtype("<i4")
        task = lambda r0, r1, c0, c1: (_frq_rows, path, shape, r0, r1, c0, c1)
    chunks = da.core.normalize_chunks(chunks, shape, dtype=dtype)
    row_starts, column_starts = _starts(chunks[0]), _starts(chunks[1])
    # Named by the file as it is now: a file changed since is another array.
    status = os.stat(path)
    name = "tornavel-read-" + dask.base.tokenize(path, status.st_ino, status.st_size, status.st_mtime_ns,
                                                  status.st_ctime_ns, chunks)
    layer = {(name, i, j): task(int(row_starts[i]), int(row_starts[i + 1]), int(column_starts[j]),
                                int(column_starts[j + 1]))
             for i in range(len(chunks[0])) for j in range(len(chunks[1]))}
    return da.Array(HighLevelGraph.from_collections(name, layer, dependencies=[]), name, chunks, dtype=dtype)
