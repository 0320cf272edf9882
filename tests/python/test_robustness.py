"""The module as callers use it at once: many threads, forked children, arrays that lie, Ctrl-C.

Every call must give the one-thread result, or refuse cleanly. test_hostile_arrays is also run
against a module built under AddressSanitizer (scripts/python-asan).
"""
import multiprocessing
import os
import random
import signal
import tempfile
import threading
import time
import unittest

import numpy as np
import scipy.sparse as sp

import tornavel

# Calls whose arrays SciPy accepts but whose parts disagree: each must be refused with a
# ValueError (or give what the dense form gives), never read out of bounds.
HOSTILE = [
    ("index past the side", lambda: sp.csr_matrix(([1, 1], [0, 5], [0, 1, 2]), shape=(2, 2))),
    ("index 2**30", lambda: sp.csr_matrix(([1, 1], [0, 2**30], [0, 1, 2]), shape=(2, 2))),
    ("negative index", lambda: _edited(sp.csr_matrix(np.eye(3, dtype=int)), "indices", 1, -1)),
    ("indptr falls", lambda: _edited(sp.csr_matrix(np.eye(3, dtype=int)), "indptr", 1, 3)),
    ("indptr past the entries", lambda: _edited(sp.csr_matrix(np.eye(3, dtype=int)), "indptr", 3, 9)),
    ("indptr below 0", lambda: _edited(sp.csr_matrix(np.eye(3, dtype=int)), "indptr", 0, -4)),
    ("indptr too short", lambda: _replaced(sp.csr_matrix(np.eye(3, dtype=int)), "indptr", np.array([0, 1, 2], np.int32))),
    ("data shorter than indices", lambda: _replaced(sp.csr_matrix(np.eye(3, dtype=int)), "data", np.array([1, 1]))),
    ("CSC row index past the side", lambda: sp.csc_matrix(([1, 1], [0, 7], [0, 1, 2]), shape=(2, 2))),
    ("COO column past the side", lambda: _replaced(sp.coo_matrix(np.eye(3, dtype=int)), "col", np.array([0, 1, 9], np.int32))),
    ("COO arrays of different lengths", lambda: _replaced(sp.coo_matrix(np.eye(3, dtype=int)), "row", np.array([0, 1], np.int32))),
    ("COO negative row", lambda: _replaced(sp.coo_matrix(np.eye(3, dtype=int)), "row", np.array([0, -1, 2], np.int32))),
    ("shape larger than the arrays", lambda: _reshaped(sp.csr_matrix(np.eye(3, dtype=int)), (4, 4))),
    ("shape smaller than the arrays", lambda: _reshaped(sp.csr_matrix(np.eye(3, dtype=int)), (2, 2))),
]


def _edited(m, name, at, value):
    getattr(m, name)[at] = value
    return m


def _replaced(m, name, value):
    setattr(m, name, value)
    return m


def _reshaped(m, shape):
    m._shape = shape
    return m


def outcome(f, *args):
    """What a call gives: its result's bytes, or its exception's type and message."""
    try:
        r = f(*args)
    except (ValueError, TypeError) as e:
        return type(e).__name__, str(e)
    if sp.issparse(r):
        parts = (r.row, r.col) if r.format == "coo" else (r.indices, r.indptr)
        return r.format, r.shape, r.data.tobytes(), parts[0].tobytes(), parts[1].tobytes()
    return np.asarray(r).tobytes()


class ManyThreadsAtOnce(unittest.TestCase):
    def test_every_call_gets_the_one_thread_result_whatever_the_others_do(self):
        rng = np.random.default_rng(5)
        dense = rng.integers(0, 50, (400, 400))
        negative = dense.copy()
        negative[350, 7] = -3
        csr = sp.random(3000, 3000, density=0.01, format="csr", random_state=1,
                        data_rvs=lambda n: rng.integers(1, 9, n)).astype(np.int64)
        repeated = sp.csr_matrix((np.ones(4000, np.int64), (rng.integers(0, 300, 4000), rng.integers(0, 300, 4000))),
                                 shape=(300, 300))
        order = tornavel.rank(csr)
        calls = [(tornavel.scores, dense), (tornavel.rank, dense), (tornavel.rank, negative),
                 (tornavel.rank, csr), (tornavel.scores, csr.tocsc()), (tornavel.rank, csr.tocoo()),
                 (tornavel.rank, repeated), (tornavel.reorder, csr, order), (tornavel.reorder, dense, np.arange(400)[::-1]),
                 (tornavel.reorder, csr.tocoo(), order), (tornavel.rank, HOSTILE[0][1]())]
        expected = [outcome(*call) for call in calls]
        self.assertEqual(expected[2], ("ValueError", "element (350, 7): negative value -3"))
        wrong = []

        def caller(seed):
            shuffled = list(range(len(calls)))
            random.Random(seed).shuffle(shuffled)
            for _ in range(12):
                for i in shuffled:
                    if outcome(*calls[i]) != expected[i]:
                        wrong.append(i)

        threads = [threading.Thread(target=caller, args=(seed,)) for seed in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(wrong, [])


def _rank_in_child(m):
    return tornavel.rank(m).tolist()


class ForkedChildren(unittest.TestCase):
    m = np.random.default_rng(3).integers(0, 20, (700, 700))

    def test_pools_of_every_start_method_rank_as_the_parent(self):
        want = tornavel.rank(self.m).tolist()  # the parent has its helper now
        for method in ("fork", "spawn", "forkserver"):
            with self.subTest(method):
                with multiprocessing.get_context(method).Pool(2) as pool:
                    got = pool.map_async(_rank_in_child, [self.m, self.m]).get(timeout=120)
                self.assertEqual(got, [want, want])

    def test_a_bare_fork_while_another_thread_ranks(self):
        want = tornavel.rank(self.m).tolist()
        stop = threading.Event()

        def busy():
            while not stop.is_set():
                tornavel.rank(self.m)

        t = threading.Thread(target=busy)
        t.start()
        try:
            for _ in range(5):
                pid = os.fork()
                if pid == 0:
                    signal.alarm(60)  # a child that hangs dies of SIGALRM
                    os._exit(0 if tornavel.rank(self.m).tolist() == want else 1)
                _, status = os.waitpid(pid, 0)
                self.assertTrue(os.WIFEXITED(status), status)
                self.assertEqual(os.WEXITSTATUS(status), 0)
        finally:
            stop.set()
            t.join()


class HostileArrays(unittest.TestCase):
    def test_arrays_that_disagree_are_refused_by_every_function(self):
        for name, make in HOSTILE:
            for call in ("scores", "rank", "ranked", "reorder", "write"):
                with self.subTest(name=name, call=call):
                    m = make()
                    n = max(m.shape)
                    with tempfile.TemporaryDirectory() as folder, self.assertRaises(ValueError) as caught:
                        if call == "reorder":
                            tornavel.reorder(m, np.arange(n))
                        elif call == "write":
                            tornavel.write(os.path.join(folder, "m.frq"), m)
                        else:
                            getattr(tornavel, call)(m)
                    self.assertNotIn("\n", str(caught.exception))

    def test_flags_are_not_trusted_and_repeated_entries_add_up(self):
        m = sp.csr_matrix((np.array([1, 2]), np.array([0, 0]), np.array([0, 2, 2, 2])), shape=(3, 3))
        m.has_canonical_format = True
        m.has_sorted_indices = True
        want = tornavel.scores(m.toarray())
        for kind in (m, m.tocsc(), sp.coo_matrix((np.array([1, 2]), (np.array([0, 0]), np.array([0, 0]))), shape=(3, 3))):
            np.testing.assert_array_equal(tornavel.scores(kind).view(np.uint32), want.view(np.uint32))
        big = sp.coo_matrix((np.array([2**30, 2**30]), (np.array([1, 1]), np.array([2, 2]))), shape=(3, 3))
        with self.assertRaisesRegex(ValueError, r"element \(1, 2\): repeated entries add up beyond 2\^31 - 1"):
            tornavel.rank(big)

    def test_a_thread_editing_the_arrays_meanwhile_never_crashes_a_call(self):
        m = sp.random(2000, 2000, density=0.02, format="csr", random_state=2)
        m.data = np.ceil(m.data * 9)
        done = threading.Event()

        pointers, entries = m.indptr.size, m.indices.size

        def vandal():
            rng = np.random.default_rng(9)
            while not done.is_set():
                m.indptr[rng.integers(0, pointers)] = rng.integers(-5, entries + 5)
                m.indices[rng.integers(0, entries)] = rng.integers(-5, 2005)

        t = threading.Thread(target=vandal)
        t.start()
        try:
            for _ in range(100):
                for call in (tornavel.rank, lambda a: tornavel.reorder(a, np.arange(2000))):
                    try:
                        call(m)
                    except ValueError:
                        pass
        finally:
            done.set()
            t.join()

    def test_paths_with_a_nul_are_refused(self):
        for call in (lambda: tornavel.run("a\x00.frq"), lambda: tornavel.write("a\x00.frq", np.eye(2, dtype=int)),
                     lambda: tornavel.read("a\x00.frq"), lambda: tornavel.run("m.frq", "out\x00")):
            with self.assertRaisesRegex(ValueError, "null"):
                call()


class CtrlC(unittest.TestCase):
    """SIGINT reaches a long call as it reaches the Python code around it: KeyboardInterrupt."""

    def interrupted(self, call):
        """Runs call while another thread sends this one SIGINT every 5 ms; a handler armed just
        before the call raises KeyboardInterrupt. Returns whether the call raised it."""
        armed = False

        def handler(signum, frame):
            if armed:
                raise KeyboardInterrupt

        previous = signal.signal(signal.SIGINT, handler)
        done = threading.Event()

        def sender():
            while not done.is_set():
                signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
                time.sleep(0.005)

        t = threading.Thread(target=sender)
        t.start()
        try:
            armed = True
            call()
            armed = False
            return False
        except KeyboardInterrupt:
            armed = False
            return True
        finally:
            done.set()
            t.join()
            signal.signal(signal.SIGINT, previous)

    def test_each_long_call_stops(self):
        # Each of these takes a second or more uninterrupted; each is stopped within its first
        # blocks.
        rng = np.random.default_rng(1)
        dense = np.asfortranarray(np.ones((20000, 20000), np.uint8))
        n, nnz = 1_000_000, 20_000_000
        coo = sp.coo_matrix((np.ones(nnz, np.int32), (rng.integers(0, n, nnz, dtype=np.int32),
                                                        rng.integers(0, n, nnz, dtype=np.int32))), shape=(n, n))
        for name, call in [("dense rank", lambda: tornavel.rank(dense)),
                           ("dense reorder", lambda: tornavel.reorder(dense, np.arange(20000))),
                           ("COO rank", lambda: tornavel.rank(coo))]:
            with self.subTest(name):
                self.assertTrue(self.interrupted(call))

    def test_run_stopped_publishes_nothing_and_leaves_no_temporary(self):
        with tempfile.TemporaryDirectory() as folder:
            side = 12000
            path = os.path.join(folder, "in.frq")
            with open(path, "wb") as f:
                np.array([side, side], "<i4").tofile(f)
                f.truncate(8 + 4 * side * side)  # a hole of zeros: quick to make, slow to rank
            tornavel.run(_small(folder), folder)
            before = {}
            for name in ("tornavel.ord", "tornavel.frq"):
                with open(os.path.join(folder, name), "rb") as f:
                    before[name] = f.read()
            self.assertTrue(self.interrupted(lambda: tornavel.run(path, folder)))
            self.assertEqual(sorted(os.listdir(folder)), ["in.frq", "small.frq", "tornavel.frq", "tornavel.ord"])
            for name, data in before.items():
                with open(os.path.join(folder, name), "rb") as f:
                    self.assertEqual(f.read(), data)


def _small(folder):
    path = os.path.join(folder, "small.frq")
    tornavel.write(path, np.array([[2, 0, 1], [2, 3, 0], [0, 0, 1]]))
    return path


if __name__ == "__main__":
    unittest.main()
