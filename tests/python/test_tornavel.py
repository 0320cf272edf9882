"""The Python module against the command line, and every kind of matrix against the int32 one.

Run by CTest with the build's module on PYTHONPATH and the tool in TORNAVEL_BINARY.
"""
import os
import subprocess
import tempfile
import unittest

import numpy as np
import pandas as pd
import scipy.sparse as sp

import tornavel

TOOL = os.environ["TORNAVEL_BINARY"]


def matrices():
    """Seeded matrices of the shapes that stress the ranking."""
    rng = np.random.default_rng(11)
    yield "worked", np.array([[2, 0, 1], [2, 3, 0], [0, 0, 1]], np.int32)
    yield "empty", np.zeros((0, 0), np.int32)
    yield "one", np.array([[5]], np.int32)
    yield "zeros", np.zeros((7, 7), np.int32)
    yield "ties", np.tile(rng.integers(0, 4, (12, 1), dtype=np.int32), (1, 12))
    for seed in range(6):
        n = int(rng.integers(2, 90))
        yield f"uniform {seed}", rng.integers(0, 50, (n, n), dtype=np.int32)
        sparse = rng.integers(0, 9, (n, n), dtype=np.int32)
        sparse[rng.random((n, n)) < 0.9] = 0
        yield f"sparse {seed}", sparse
    huge = rng.integers(0, 3, (6, 6), dtype=np.int32)
    huge[::2, 1] = 2**31 - 1  # column sums beyond 2^31, run-wise sums of the table
    huge[3, 4] = 2**20 + 17
    yield "huge", huge
    # Rows in several blocks, which both threads read; then sums of entries too large to add in
    # any order, which must come out as the command's rows added in order.
    yield "several blocks", rng.integers(0, 30, (600, 600), dtype=np.int32)
    past = rng.integers(0, 6, (300, 300), dtype=np.int32)
    np.fill_diagonal(past, 2**31 - 1 - rng.integers(0, 1000, 300))
    yield "sums past 2^29", past


def shuffled_coo(m):
    """COO as a user's pairs come: in no order, some counts split into repeated entries."""
    rng = np.random.default_rng(m.size)
    r, k = np.nonzero(m)
    values = m[r, k].astype(np.int64)
    part = np.where(values > 1, values // 2, 0)
    rows, columns, data = np.concatenate([r, r]), np.concatenate([k, k]), np.concatenate([values - part, part])
    shuffle = rng.permutation(rows.size)
    return sp.coo_matrix((data[shuffle], (rows[shuffle], columns[shuffle])), shape=m.shape)


def unsorted_csc(m):
    """CSC with each column's rows in reverse, as a product of sparse matrices may leave them."""
    c = sp.csc_matrix(m)
    for j in range(c.shape[1]):
        a, b = c.indptr[j], c.indptr[j + 1]
        c.indices[a:b] = c.indices[a:b][::-1].copy()
        c.data[a:b] = c.data[a:b][::-1].copy()
    c.has_sorted_indices = False
    return c


def tool_outputs(m):
    """What the command writes for m: its order and reordered matrix."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "in.frq")
        np.concatenate([[m.shape[1], m.shape[0]], m.ravel()]).astype("<i4").tofile(path)
        subprocess.run([TOOL, path], cwd=folder, check=True)
        order = np.fromfile(os.path.join(folder, "tornavel.ord"), "<i4")
        frq = np.fromfile(os.path.join(folder, "tornavel.frq"), "<i4")[2:].reshape(m.shape)
    return order, frq


class AgainstTheCommand(unittest.TestCase):
    def test_rank_reorder_and_scores_match_the_tool_bit_for_bit(self):
        for name, m in matrices():
            with self.subTest(name):
                order, frq = tool_outputs(m)
                np.testing.assert_array_equal(tornavel.rank(m), order)
                np.testing.assert_array_equal(tornavel.reorder(m, order), frq)
                # Sparse scoring adds only the non-zero counts, with the same bits.
                dense = tornavel.scores(m)
                self.assertEqual(dense.dtype, np.float32)
                for kind in (sp.csr_matrix, sp.csc_matrix, sp.coo_matrix, sp.csr_array, sp.lil_matrix,
                             shuffled_coo, unsorted_csc):
                    np.testing.assert_array_equal(tornavel.scores(kind(m)).view(np.uint32), dense.view(np.uint32))
                    np.testing.assert_array_equal(tornavel.rank(kind(m)), order)
                    np.testing.assert_array_equal(tornavel.reorder(kind(m), order).toarray(), frq)

    def test_run_publishes_the_pair_the_command_does(self):
        _, m = next(matrices())
        with tempfile.TemporaryDirectory() as folder:
            tornavel.write(os.path.join(folder, "m.frq"), m)
            np.testing.assert_array_equal(tornavel.read(os.path.join(folder, "m.frq")), m)
            tornavel.run(os.path.join(folder, "m.frq"), folder)
            self.assertEqual(sorted(os.listdir(folder)), ["m.frq", "tornavel.frq", "tornavel.ord"])
            np.testing.assert_array_equal(np.fromfile(os.path.join(folder, "tornavel.ord"), "<i4"), [0, 2, 1])
            with self.assertRaises(OSError):
                tornavel.run(os.path.join(folder, "missing.frq"), folder)
            big = sp.random(2000, 2000, density=0.001, format="csr", random_state=3, dtype=np.float64)
            big.data = np.ceil(big.data * 10)
            tornavel.write(os.path.join(folder, "s.frq"), big)
            np.testing.assert_array_equal(tornavel.read(os.path.join(folder, "s.frq")), big.toarray())

    def test_read_refuses_a_file_as_the_command_does_and_reads_a_pipe_alike(self):
        with tempfile.TemporaryDirectory() as folder:
            cases = {"oblong.frq": np.array([3, 2] + [0] * 6, "<i4").tobytes(),
                     "short.frq": np.array([2, 2, 1, 2, 3], "<i4").tobytes(),
                     "tiny.frq": b"\x02\x00",
                     "text.frq": b"1,2\n3,4\n",
                     "negative.frq": np.array([-1, 2], "<i4").tobytes(),
                     "order": np.array([1, 2, 0], "<i4").tobytes(),
                     "m.ord": np.array([5, 7], "<i4").tobytes()}
            for name, data in cases.items():
                path = os.path.join(folder, name)
                with open(path, "wb") as f:
                    f.write(data)
                command = subprocess.run([TOOL, path], cwd=folder, capture_output=True, text=True)
                self.assertEqual(command.returncode, 1, name)
                with self.assertRaises(ValueError, msg=name) as caught:
                    tornavel.read(path)
                self.assertEqual("tornavel: " + str(caught.exception) + "\n", command.stderr, name)
            # Through a pipe, read whole: the same counts; an empty shape keeps its other side.
            m = np.array([[0, 3], [1, 2]])
            tornavel.write(os.path.join(folder, "m.frq"), m)
            for name, shape in (("m.frq", (2, 2)), ("rows-only.frq", (5, 0))):
                if name == "rows-only.frq":
                    np.array([0, 5], "<i4").tofile(os.path.join(folder, name))
                with subprocess.Popen(["cat", os.path.join(folder, name)], stdout=subprocess.PIPE) as cat:
                    piped = tornavel.read(f"/dev/fd/{cat.stdout.fileno()}")
                mapped = tornavel.read(os.path.join(folder, name))
                self.assertEqual(piped.shape, shape)
                self.assertEqual(mapped.shape, shape)
                np.testing.assert_array_equal(piped, mapped)
            np.testing.assert_array_equal(tornavel.read(os.path.join(folder, "m.frq")), m)


class KindsOfMatrix(unittest.TestCase):
    m = np.array([[2, 0, 1], [2, 3, 0], [0, 0, 1]])

    def test_every_dtype_layout_and_format_ranks_as_int32(self):
        want = tornavel.scores(self.m.astype(np.int32)).view(np.uint32)
        kinds = [self.m.astype(t) for t in ["i1", "i2", "i8", "u1", "u2", "u4", "u8", ">i4", "f4", "f8", "<f8"]]
        kinds += [self.m.astype(bool).astype(int) * 0 + self.m, np.asfortranarray(self.m), self.m.T.copy().T,
                  np.pad(self.m, 1)[1:-1, 1:-1], self.m.tolist()]
        kinds += [f(self.m) for f in (sp.dok_matrix, sp.bsr_matrix, sp.dia_matrix, sp.csc_array)]
        kinds += [pd.DataFrame(self.m, index=list("abc"), columns=list("abc"))]
        for m in kinds:
            with self.subTest(type(m).__name__ + str(getattr(m, "dtype", ""))):
                np.testing.assert_array_equal(tornavel.scores(m).view(np.uint32), want)
        np.testing.assert_array_equal(tornavel.rank(self.m > 0), tornavel.rank((self.m > 0).astype(np.int32)))

    def test_reorder_keeps_the_kind_and_the_labels_follow_the_items(self):
        order = tornavel.rank(self.m)
        frame = pd.DataFrame(self.m, index=["x", "y", "z"], columns=["x", "y", "z"])
        ranked = tornavel.reorder(frame, tornavel.rank(frame))
        self.assertEqual(list(ranked.index), ["x", "z", "y"])
        self.assertEqual(list(ranked.columns), ["x", "z", "y"])
        self.assertEqual(ranked.loc["z", "x"], frame.loc["z", "x"])
        for kind in (sp.csr_matrix, sp.csc_matrix, sp.coo_array):
            out = tornavel.reorder(kind(self.m), order)
            self.assertEqual(type(out), type(kind(self.m)))
            np.testing.assert_array_equal(out.toarray(), self.m[np.ix_(order, order)])

    def test_refusals_name_the_row_and_column(self):
        refusals = [
            (np.array([[1, -1], [0, 0]]), "element (0, 1): negative value -1"),
            (np.array([[0.0, 0.0], [2.5, 0.0]]), "element (1, 0): fractional value 2.5"),
            (np.array([[np.nan]]), "element (0, 0): not a number"),
            (np.array([[np.inf]]), "element (0, 0): infinite value"),
            (np.array([[2**31]], np.int64), "element (0, 0): value 2147483648 beyond 2^31 - 1"),
            (np.array([[np.float32(2**31 - 1)]]), "element (0, 0): value 2147483648 beyond"),
            (sp.csr_matrix(np.array([[0, 0], [0, -3]])), "element (1, 1): negative value -3"),
            (np.zeros((2, 3)), "matrix is not square (2 rows, 3 columns)"),
            (np.zeros(3), "a count matrix has 2 dimensions"),
            (pd.DataFrame(np.eye(2), index=["a", "b"], columns=["b", "a"]), "name the same items in another order"),
        ]
        # Two faults far apart, in rows the two threads read: the first in row order is named.
        big = np.ones((1500, 1500), np.int64)
        big[1400, 3], big[900, 7] = -5, -2
        refusals += [(big, "element (900, 7): negative value -2"),
                     (sp.csr_matrix(big), "element (900, 7): negative value -2")]
        for m, message in refusals:
            with self.subTest(message):
                with self.assertRaisesRegex(ValueError, message.replace("(", r"\(").replace(")", r"\)").replace("^", r"\^")):
                    tornavel.rank(m)
        with self.assertRaisesRegex(ValueError, "not a permutation"):
            tornavel.reorder(self.m, [0, 0, 1])


if __name__ == "__main__":
    unittest.main()
