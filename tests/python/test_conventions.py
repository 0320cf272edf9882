"""Python's conventions, pandas' frames and the ways a matrix is handed in.

Errors: TypeError for what holds no counts, ValueError for wrong values and shapes, OSError of the
errno's kind with the file's name. Imports: pandas and SciPy only when the argument is theirs.
"""
import errno
import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np
import pandas as pd
import scipy.sparse as sp

import tornavel

WORKED = np.array([[2, 0, 1], [2, 3, 0], [0, 0, 1]])


class Errors(unittest.TestCase):
    def test_types_values_and_files_raise_what_python_raises(self):
        cases = [
            (None, TypeError, "dtype object"),
            ("abc", TypeError, "dtype <U3"),
            (np.eye(3, dtype=np.float16), TypeError, "dtype float16"),
            (np.eye(3, dtype=np.complex64), TypeError, "dtype complex64"),
            (np.zeros((2, 3)), ValueError, r"matrix is not square \(2 rows, 3 columns\)"),
            (np.zeros(3), ValueError, "2 dimensions, not 1"),
            (np.array([[1, -1], [0, 0]]), ValueError, r"element \(0, 1\): negative value -1"),
        ]
        for m, kind, message in cases:
            with self.subTest(message):
                for call in (tornavel.scores, tornavel.rank, tornavel.ranked):
                    with self.assertRaisesRegex(kind, message):
                        call(m)
        with self.assertRaisesRegex(TypeError, "order must be integers"):
            tornavel.reorder(WORKED, [0.0, 1.0, 2.0])
        with self.assertRaisesRegex(ValueError, "not a permutation of 0 .. 2: entry 1 is 0"):
            tornavel.reorder(WORKED, [0, 0, 1])
        with self.assertRaisesRegex(ValueError, "3 entries for 2 items"):
            tornavel.reorder(np.eye(2), [0, 1, 2])

    def test_files_raise_the_oserror_of_their_errno_with_the_name(self):
        with tempfile.TemporaryDirectory() as folder:
            missing = os.path.join(folder, "missing", "m.frq")
            for call, name in [(lambda: tornavel.run(missing, folder), missing),
                               (lambda: tornavel.write(missing, WORKED), missing),
                               (lambda: tornavel.run(os.path.join(folder, "none.frq"), folder), os.path.join(folder, "none.frq")),
                               (lambda: tornavel.read(missing), missing)]:
                with self.assertRaises(FileNotFoundError) as caught:
                    call()
                self.assertEqual(caught.exception.errno, errno.ENOENT)
                self.assertEqual(caught.exception.filename, name)
            tornavel.write(os.path.join(folder, "m.frq"), WORKED)
            with self.assertRaises(FileNotFoundError) as caught:
                tornavel.run(os.path.join(folder, "m.frq"), os.path.join(folder, "gone"))
            self.assertEqual(caught.exception.filename, os.path.join(folder, "gone"))
            # A journal that is no journal (another user may plant a FIFO in a shared folder) is
            # refused at once, not waited on.
            os.mkfifo(os.path.join(folder, "tornavel.journal"))
            with self.assertRaisesRegex(ValueError, "tornavel.journal: is a FIFO, not a journal"):
                tornavel.read(os.path.join(folder, "m.frq"))
            os.remove(os.path.join(folder, "tornavel.journal"))
            bad = os.path.join(folder, "bad.frq")
            np.array([2, 2, 0, -1, 0, 0], "<i4").tofile(bad)
            with self.assertRaisesRegex(ValueError, "bad.frq: negative count -1 at row 0, column 1"):
                tornavel.run(bad, folder)


class KindsHandedIn(unittest.TestCase):
    def test_every_dtype_at_both_ends_of_its_range(self):
        for dtype in (np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64):
            info = np.iinfo(dtype)
            top = min(info.max, 2**31 - 1)
            m = np.array([[top, 0], [1, top]], dtype)
            np.testing.assert_array_equal(tornavel.scores(m), tornavel.scores(m.astype(np.int64)))
            if info.max > 2**31 - 1:
                with self.assertRaisesRegex(ValueError, rf"element \(0, 0\): value {info.max} beyond 2\^31 - 1"):
                    tornavel.rank(np.array([[info.max]], dtype))
            if info.min < 0:
                with self.assertRaisesRegex(ValueError, rf"element \(0, 0\): negative value {info.min}"):
                    tornavel.rank(np.array([[info.min]], dtype))
        for dtype, message in ((np.float32, "value 2147483648 beyond"), (np.float64, "value 2147483648 beyond")):
            self.assertEqual(tornavel.scores(np.array([[2**31 - 1 if dtype == np.float64 else 2**24]], dtype)).tolist(), [0.0])
            with self.assertRaisesRegex(ValueError, message):
                tornavel.rank(np.array([[2.0**31]], dtype))
        np.testing.assert_array_equal(tornavel.rank(np.array([[True, False], [True, True]])), [0, 1])

    def test_lists_subclasses_and_masked_arrays(self):
        order = tornavel.rank(WORKED)
        self.assertEqual(tornavel.reorder(WORKED.tolist(), order).tolist(), WORKED[np.ix_(order, order)].tolist())
        as_matrix = tornavel.reorder(np.asmatrix(WORKED), order)
        self.assertIsInstance(as_matrix, np.matrix)
        masked = np.ma.array(WORKED, mask=WORKED == 3)
        with self.assertRaisesRegex(ValueError, r"element \(1, 1\): masked"):
            tornavel.rank(masked)
        np.testing.assert_array_equal(tornavel.rank(masked.filled(0)), tornavel.rank(np.where(WORKED == 3, 0, WORKED)))
        np.testing.assert_array_equal(tornavel.rank(np.ma.array(WORKED)), order)
        reordered = tornavel.reorder(masked, order)
        self.assertIsInstance(reordered, np.ma.MaskedArray)
        np.testing.assert_array_equal(reordered.mask, (WORKED == 3)[np.ix_(order, order)])
        for dtype in (np.float16, np.complex128, object, "U2"):
            a = WORKED.astype(dtype)
            np.testing.assert_array_equal(tornavel.reorder(a, order), a[np.ix_(order, order)])

    def test_ranked_gives_the_order_with_its_scores(self):
        r = tornavel.ranked(WORKED)
        np.testing.assert_array_equal(r.column, [0, 2, 1])
        np.testing.assert_array_equal(r.score, tornavel.scores(WORKED)[[0, 2, 1]])
        self.assertEqual(r.dtype.itemsize, 8)

    def test_version_and_imports_only_when_asked(self):
        self.assertRegex(tornavel.__version__, r"^\d+\.\d+\.\d+$")
        code = ("import sys, numpy as np, tornavel; tornavel.rank(np.eye(3)); tornavel.reorder([[1, 0], [0, 1]], [1, 0]);"
                "print(sorted(m for m in ('pandas', 'scipy') if m in sys.modules))")
        out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
        self.assertEqual(out.strip(), "[]")


class Frames(unittest.TestCase):
    def frame(self, labels):
        return pd.DataFrame(WORKED, index=labels, columns=labels)

    def test_labels_read_back_from_csv_are_the_same_items(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "c.csv")
            self.frame([10, 20, 30]).to_csv(path)
            f = pd.read_csv(path, index_col=0)  # an integer index, string columns
            self.assertNotEqual(list(f.index), list(f.columns))
            np.testing.assert_array_equal(tornavel.rank(f), [0, 2, 1])
            ranked = tornavel.reorder(f, tornavel.rank(f))
            self.assertEqual(list(ranked.index), [10, 30, 20])

    def test_labels_that_differ_name_the_first_place(self):
        for index, columns, message in [
            (["a", "b", "c"], ["a", "c", "b"], "the same items in another order: item 1 is 'b' in the index and 'c'"),
            (["a", "b", "c"], ["a", "b", "d"], "different items: item 2 is 'c' in the index and 'd'"),
            ([1, 2, 3], ["1", "2", "4"], "different items: item 2 is '3' in the index and '4'"),
        ]:
            f = pd.DataFrame(WORKED, index=index, columns=columns)
            with tempfile.TemporaryDirectory() as folder:
                for call in (tornavel.scores, tornavel.rank, tornavel.ranked, lambda m: tornavel.reorder(m, [0, 1, 2]),
                             lambda m: tornavel.write(os.path.join(folder, "m.frq"), m)):
                    with self.subTest(message), self.assertRaisesRegex(ValueError, message):
                        call(f)
                self.assertEqual(os.listdir(folder), [])

    def test_nullable_and_object_columns_of_whole_numbers_are_counts(self):
        f = self.frame(list("xyz"))
        want = tornavel.scores(WORKED).tolist()
        for converted in (f.convert_dtypes(), f.astype("Int64"), f.astype(object), f.astype("float64").astype(object),
                          f.astype({"x": "Int32", "y": object, "z": "float32"})):
            self.assertEqual(tornavel.scores(converted).tolist(), want)
        holes = f.astype("Int64")
        holes.iloc[2, 1] = pd.NA
        with self.assertRaisesRegex(ValueError, r"element \(2, 1\): missing value"):
            tornavel.rank(holes)
        text = f.astype(object)
        text.iloc[0, 2] = "one"
        with self.assertRaisesRegex(TypeError, r"element \(0, 2\): 'one' is not a number"):
            tornavel.rank(text)

    def test_scores_and_ranked_keep_the_labels(self):
        f = self.frame(["x", "y", "z"])
        s = tornavel.scores(f)
        self.assertIsInstance(s, pd.Series)
        self.assertEqual(list(s.index), ["x", "y", "z"])
        r = tornavel.ranked(f)
        self.assertEqual(list(r.index), ["x", "z", "y"])
        self.assertEqual(r["z"], s["z"])


if __name__ == "__main__":
    unittest.main()
