"""tornavel.dask on a LocalCluster of two worker processes and on Dask's default scheduler,
against the command bit for bit.

Run by CTest with the build's module on PYTHONPATH and the tool in TORNAVEL_BINARY.
"""
import os
import subprocess
import tempfile
import threading
import time
import unittest
from unittest import mock

import dask
import dask.array as da
import numpy as np
import scipy.sparse as sp
from distributed import Client, LocalCluster

import tornavel
import tornavel.dask as td
from tornavel import _tornavel

TOOL = os.environ["TORNAVEL_BINARY"]


def command(m):
    """What the command writes for m: the order and the reordered matrix."""
    with tempfile.TemporaryDirectory() as folder:
        tornavel.write(os.path.join(folder, "in.frq"), m)
        subprocess.run([TOOL, "in.frq"], cwd=folder, check=True)
        order = np.fromfile(os.path.join(folder, "tornavel.ord"), "<i4")
        ranked = np.array(tornavel.read(os.path.join(folder, "tornavel.frq")))
    return order, ranked


def hot(rng, n):
    """A matrix with columns whose sums of table entries pass 2**29 across several row chunks:
    their entries must be added in row order to give the command's bits."""
    m = rng.integers(0, 5, (n, n)).astype(np.int32)
    for k in (1, n // 2, n - 1):
        rows = rng.choice(n, 40, replace=False)
        m[rows, k] = rng.integers(10**6, 2**31 - 1, 40)
    return m


def cases():
    rng = np.random.default_rng(28)
    dense = rng.integers(0, 40, (90, 90)).astype(np.int32)
    mostly_zero = np.where(rng.random((120, 120)) < 0.93, 0, rng.integers(1, 9, (120, 120))).astype(np.int32)
    hot_columns = hot(rng, 100)
    for name, m in (("dense", dense), ("mostly zero", mostly_zero), ("hot columns", hot_columns)):
        n = m.shape[0]
        for chunks in (n, (n // 3, n), ((0, 7, n - 7, 0), n), (n // 4, n // 3), ((0, 7, n - 7), (n - 1, 1, 0)),
                       ((n,), (0, n))):
            yield f"{name} {chunks}", m, da.from_array(m, chunks=chunks)
            yield f"{name} {chunks} sparse", m, da.from_array(sp.csr_matrix(m), chunks=chunks, asarray=False)
    csr = da.from_array(sp.csr_matrix(mostly_zero), chunks=50, asarray=False)
    yield "coo and csc chunks", mostly_zero, csr.map_blocks(lambda b: b.tocoo() if b.shape[0] % 20 else b.tocsc(),
                                                            dtype=mostly_zero.dtype, meta=sp.csr_matrix((0, 0)))
    rows = da.from_array(sp.csr_matrix(mostly_zero), chunks=(50, 120), asarray=False)
    yield "coo and csc chunks of whole rows", mostly_zero, rows.map_blocks(
        lambda b: b.tocoo() if b.shape[0] % 20 else b.tocsc(), dtype=mostly_zero.dtype, meta=sp.csr_matrix((0, 0)))
    yield "float chunks", dense, da.from_array(dense.astype(np.float64), chunks=40)
    yield "float chunks of whole rows", dense, da.from_array(dense.astype(np.float64), chunks=(40, 90))
    yield "empty", np.zeros((0, 0), np.int32), da.zeros((0, 0), dtype=np.int32, chunks=1)


class AgainstTheCommand:
    def test_scores_rank_and_reorder_equal_the_commands(self):
        done = {}
        for name, m, x in cases():
            with self.subTest(name):
                if id(m) not in done:
                    done[id(m)] = command(m) if m.size else (np.zeros(0, np.int32), m)
                order, ranked = done[id(m)]
                np.testing.assert_array_equal(td.rank(x), order)
                np.testing.assert_array_equal(td.scores(x).view(np.uint32), tornavel.scores(m).view(np.uint32))
                out = td.reorder(x).compute()
                np.testing.assert_array_equal(out.toarray() if sp.issparse(out) else out, ranked)

    def test_the_row_order_pass_is_what_makes_hot_columns_exact(self):
        # Every column's B as one block in row order gives it, against the chunked sums; the
        # chunks' partial sums merged in another order give other bits for some hot column, so
        # the sums could not match without the row-order continuation.
        m = hot(np.random.default_rng(5), 100)
        whole = _tornavel.dense_partials(m)[1]
        parts = [_tornavel.dense_partials(m[r:r + 9])[1] for r in range(0, 100, 9)]
        merged = sum(parts[::-1])
        self.assertFalse(np.array_equal(merged.view(np.uint64), whole.view(np.uint64)))
        # 12 and 100 chunks of rows: their sums merged on the workers, in one round and in two,
        # the last merge here; or, where that would bring too much here, in up to three rounds.
        for here in (td._GATHERED_BYTES, 0):
            for chunks in ((9, 100), (9, 7), ((1, 98, 1), 100), (1, 100)):
                with mock.patch.object(td, "_GATHERED_BYTES", here):
                    counts, entries = td._sums(da.from_array(m, chunks=chunks))
                np.testing.assert_array_equal(entries.view(np.uint64), whole.view(np.uint64))
                np.testing.assert_array_equal(counts, m.astype(np.int64).sum(axis=0))

    def test_a_refusal_names_the_first_element_in_row_order_as_the_module_does(self):
        m = np.random.default_rng(3).integers(0, 9, (80, 80)).astype(np.int64)
        m[70, 5], m[71, 1], m[75, 60] = -2, 2**31, -1
        with self.assertRaises(ValueError) as whole:
            tornavel.scores(m)
        # (5, 40): merged on the workers first, the last merge here or there.
        for chunks, here in (((20, 20), None), ((75, 80), None), ((80, (10, 70)), None), ((5, 40), None),
                             ((5, 40), 0)):
            for x in (da.from_array(m, chunks=chunks), da.from_array(sp.csr_matrix(m), chunks=chunks, asarray=False)):
                with self.assertRaises(ValueError) as caught, \
                        mock.patch.object(td, "_GATHERED_BYTES", td._GATHERED_BYTES if here is None else here):
                    td.rank(x)
                self.assertEqual(str(caught.exception), str(whole.exception))
                self.assertEqual(str(caught.exception), "element (70, 5): negative value -2")
        with self.assertRaises(ValueError):
            td.scores(da.ones((3, 4), chunks=2))

    def test_reorder_refuses_a_chunk_whose_index_lies_outside_it(self):
        # Read where it lies, an index past the chunk's width would name another entry, or
        # another column's place, rather than fail.
        m = np.random.default_rng(4).integers(0, 3, (30, 30)).astype(np.int32)
        for bad in (30, 31, -1):
            for chunks in ((10, 30), (10, 15)):
                blocks = [sp.csr_matrix(m[r:r + 10, c:c + chunks[1]]) for r in range(0, 30, 10)
                          for c in range(0, 30, chunks[1])]
                # The same fault in a COO chunk's row index, which SciPy's conversion uses as a place.
                coo = blocks[-1].tocoo()
                coo.row[2] = 10 if bad > 0 else -1
                blocks[-1].indices[2] = bad if chunks[1] == 30 else bad - 15
                for last in (blocks[-1], coo):
                    blocks[-1] = last
                    x = da.block([[da.from_delayed(dask.delayed(b), b.shape, dtype=b.dtype, meta=sp.csr_matrix((0, 0)))
                                   for b in blocks[i * (30 // chunks[1]):(i + 1) * (30 // chunks[1])]]
                                  for i in range(3)])
                    with self.subTest(bad=bad, chunks=chunks, format=last.format), self.assertRaises(ValueError):
                        td.reorder(x, np.arange(30)[::-1]).compute()

    def test_read_gives_chunks_over_the_file(self):
        m = np.random.default_rng(9).integers(0, 50, (70, 70)).astype(np.int32)
        with tempfile.TemporaryDirectory() as folder:
            frq, npy = os.path.join(folder, "m.frq"), os.path.join(folder, "m.npy")
            tornavel.write(frq, m)
            np.save(npy, m.astype(np.uint16))
            for path in (frq, npy):
                x = td.read(path, chunks=(30, 25))
                self.assertEqual(x.chunks, ((30, 30, 10), (25, 25, 20)))
                np.testing.assert_array_equal(x.compute(), m)
                for chunks in ((30, 25), (30, 70), (70, 70), ((0, 69, 1), 70)):
                    x = td.read(path, chunks=chunks)
                    np.testing.assert_array_equal(td.rank(x), tornavel.rank(m))
                    np.testing.assert_array_equal(td.scores(x).view(np.uint32), tornavel.scores(m).view(np.uint32))
            # An empty chunk of rows whose place in the file falls on a page boundary (8 + 4 *
            # 2 * 511 = 4096), where a map of it would be of no bytes.
            edge = np.random.default_rng(8).integers(0, 9, (511, 511)).astype(np.int32)
            tornavel.write(frq, edge)
            np.testing.assert_array_equal(td.read(frq, chunks=((2, 0, 509), 511)).compute(), edge)
            # A count refused in a late chunk of a file is named as the module names it.
            bad = hot(np.random.default_rng(2), 70)
            bad[50, 3] = -5
            with open(frq, "wb") as f:
                np.array([70, 70], "<i4").tofile(f)
                bad.astype("<i4").tofile(f)
            with self.assertRaises(ValueError) as whole:
                tornavel.scores(bad)
            for chunks in ((20, 70), (20, 30)):
                with self.subTest(chunks=chunks), self.assertRaises(ValueError) as caught:
                    td.rank(td.read(frq, chunks=chunks))
                self.assertEqual(str(caught.exception), str(whole.exception))
            bad[50, 3] = 5
            tornavel.write(frq, bad)
            np.testing.assert_array_equal(td.rank(td.read(frq, chunks=(20, 70))), tornavel.rank(bad))
            # A file replaced after it was read, by one of the same size: the workers have it
            # mapped, and must not read the old one where the new one's chunks are asked for.
            changed = m[::-1].copy()
            tornavel.write(frq, changed)
            np.save(npy, changed.astype(np.uint16))
            for path in (frq, npy):
                np.testing.assert_array_equal(td.read(path, chunks=(30, 25)).compute(), changed)
            # Rows kept mapped stay within their budget, the longest unused let go first.
            maps = td._Maps()
            maps.budget = lambda: 3 * 10 * 70 * 4
            for r in list(range(0, 70, 10)) + [50, 0]:
                np.testing.assert_array_equal(maps.rows(frq, (70, 70), r, r + 10), changed[r:r + 10])
                self.assertLessEqual(maps.bytes, maps.budget())
            self.assertEqual([key[2] for key in maps.held], [60, 50, 0])
            with open(frq, "r+b") as f:
                f.truncate(100)
            with self.assertRaises(ValueError):
                td.read(frq)


class PiecesOfAReorder(unittest.TestCase):
    """The library's pieces that reorder moves between workers refuse arrays that disagree."""

    def test_rows_reordered_and_joined_against_numpy(self):
        rng = np.random.default_rng(11)
        for lines, width in ((0, 5), (1, 1), (7, 40), (40, 7)):
            block = sp.random(lines, width, 0.3, format="csr", random_state=rng, dtype=np.float32)
            order, rename = rng.permutation(lines), rng.permutation(width)
            for names, index_type in ((rename, np.int64), (rename.astype(np.int32), np.int32), (None, np.int64)):
                indices = block.indices.astype(index_type)
                data, indices, indptr = _tornavel.rows_reordered(lines, width, block.indptr, indices, block.data,
                                                                 order, names)
                self.assertEqual(indices.dtype, index_type)
                got = sp.csr_matrix((data, indices, indptr), shape=(lines, width)).toarray()
                want = block.toarray()[order]
                if names is not None:
                    want = want[:, np.argsort(rename)]
                np.testing.assert_array_equal(got, want)
                # Its rows sent back as two pieces, each to the places they came from.
                half = lines // 2
                pieces = [(order[a:b], indptr[a:b + 1] - indptr[a], indices[indptr[a]:indptr[b]], data[indptr[a]:indptr[b]])
                          for a, b in ((0, half), (half, lines))]
                data, indices, indptr = _tornavel.rows_joined(width, pieces[::-1])
                self.assertEqual(indices.dtype, index_type)
                back = sp.csr_matrix((data, indices, indptr), shape=(lines, width)).toarray()
                np.testing.assert_array_equal(back[order], want)

    def test_rows_grouped_against_a_plain_model(self):
        # Each row to the block holding its place, a block's rows in the order of their places,
        # on every kind of block edge: empty blocks first, inside and last, a block of one; and
        # places of one to three passes of the sort.
        rng = np.random.default_rng(12)
        for starts in ((0, 5), (0, 0, 3, 3, 9, 9), (0, 1, 2, 40), (0, 7, 20, 20), (0, 2048, 5000),
                       (0, 2**22 + 7), (0, 2**31 - 1), (0, 1)):
            starts = np.array(starts, np.int64)
            for dtype in (np.int32, np.int64):
                rows = int(rng.integers(0, min(starts[-1], 3000) + 1))
                to = rng.choice(starts[-1], rows, replace=False) if starts[-1] < 10**6 else \
                    np.unique(rng.integers(0, starts[-1], rows))[::-1]
                to = rng.permutation(to).astype(dtype)
                order, places, cuts = _tornavel.rows_grouped(to, starts)
                block = np.searchsorted(starts, to, side="right") - 1
                want = np.argsort(to, kind="stable")
                np.testing.assert_array_equal(order, want)
                np.testing.assert_array_equal(places, to[want] - starts[block[want]])
                np.testing.assert_array_equal(cuts, np.searchsorted(block[want], np.arange(len(starts))))
        for name, to, starts in (("a place past the last block", [0, 5], [0, 5]),
                                 ("a negative place", [-1], [0, 5]),
                                 ("starts not at 0", [1], [1, 5]),
                                 ("starts that fall", [0], [0, 5, 4]),
                                 ("no starts", [], []),
                                 ("places past 32 bits", [0], [0, 2**31]),
                                 ("starts of floats", [0], [0.0, 5.0])):
            with self.subTest(name), self.assertRaises(ValueError):
                _tornavel.rows_grouped(np.array(to, np.int64), np.array(starts))
        with self.assertRaises(TypeError):
            _tornavel.rows_grouped(np.array([0.0]), np.array([0, 5]))

    def test_refusals(self):
        ok = sp.csr_matrix(np.arange(1, 13, dtype=np.int32).reshape(3, 4))
        places, indptr, indices, data = np.array([1, 0, 2]), ok.indptr, ok.indices, ok.data
        joined = _tornavel.rows_joined(4, [(places, indptr, indices, data)])
        np.testing.assert_array_equal(sp.csr_matrix(joined, shape=(3, 4)).toarray(), ok.toarray()[[1, 0, 2]])
        wide = indices.copy()
        wide[3] = 4
        join = lambda *pieces: _tornavel.rows_joined(4, list(pieces))
        reorder = lambda order, rename: _tornavel.rows_reordered(3, 4, indptr, indices, data, order, rename)
        for name, call in (
                ("a place twice", lambda: join((np.array([0, 0, 2]), indptr, indices, data))),
                ("a place outside", lambda: join((np.array([0, 1, 3]), indptr, indices, data))),
                ("a row missing", lambda: join((np.array([0, 2]), indptr[:3], indices, data),
                                               (np.array([], np.int64), indptr[:1], indices, data))),
                ("an index past the width", lambda: join((places, indptr, wide, data))),
                ("pointers that fall", lambda: join((places, indptr[::-1].copy(), indices, data))),
                ("a renamed index past the width", lambda: reorder(np.arange(3), np.array([0, 1, 2, 4]))),
                ("a renaming too short", lambda: reorder(np.arange(3), np.arange(3))),
                ("an order that repeats", lambda: reorder(np.array([0, 0, 1]), None))):
            with self.subTest(name), self.assertRaises(ValueError):
                call()
        with self.assertRaises(TypeError):  # pieces whose indices are of two dtypes
            join((np.array([0]), indptr[:2], indices, data),
                 (np.array([1, 2]), indptr[1:] - indptr[1], indices[indptr[1]:].astype(np.int64), data[indptr[1]:]))


class DefaultScheduler(AgainstTheCommand, unittest.TestCase):
    def setUp(self):
        self.assertIsNone(dask.config.get("scheduler", None))


# Worker processes that start (and restart) with the sanitizers' runtimes preloaded take longer
# than a test may; the default scheduler's run covers the library under the sanitizers.
@unittest.skipIf(os.environ.get("TORNAVEL_SANITIZED"), "worker processes under the sanitizers")
class TwoWorkerProcesses(AgainstTheCommand, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                   dashboard_address=":0")
        cls.client = Client(cls.cluster)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        cls.cluster.close()

    def test_chunks_held_by_the_workers(self):
        # A persisted array's chunks are results the workers hold, not tasks to read them with.
        m = hot(np.random.default_rng(8), 60)
        for chunks in ((7, 60), (7, 25)):
            x = self.client.persist(da.from_array(m, chunks=chunks))
            np.testing.assert_array_equal(td.rank(x), tornavel.rank(m))
            np.testing.assert_array_equal(td.scores(x).view(np.uint32), tornavel.scores(m).view(np.uint32))

    def test_a_worker_killed_mid_computation_changes_nothing(self):
        # The first chunk's task says where it runs and waits; that worker is killed while it
        # waits, and Dask runs the task again elsewhere, where it no longer waits.
        m = hot(np.random.default_rng(7), 60)
        with tempfile.TemporaryDirectory() as folder:
            started, go = os.path.join(folder, "started"), os.path.join(folder, "go")

            def first_chunk():
                if not os.path.exists(go):
                    with open(started, "w") as f:
                        f.write(str(os.getpid()))
                    while not os.path.exists(go):
                        time.sleep(0.01)
                return m[:20]

            top = da.from_delayed(dask.delayed(first_chunk, pure=False)(), (20, 60), dtype=np.int32)
            x = da.concatenate([top, da.from_array(m[20:], chunks=(13, 60))])
            result = {}
            thread = threading.Thread(target=lambda: result.setdefault("order", td.rank(x)))
            thread.start()
            for _ in range(6000):
                if os.path.exists(started) and os.path.getsize(started) > 0:
                    break
                time.sleep(0.01)
            with open(started) as f:
                pid = int(f.read())
            open(go, "w").close()
            os.kill(pid, 9)
            thread.join(120)
            self.assertFalse(thread.is_alive())
            np.testing.assert_array_equal(result["order"], tornavel.rank(m))


if __name__ == "__main__":
    unittest.main()
