"""The Python module beside the recipe a NumPy user would write instead, side by side in one run.

    scores = gammaln(column sums + 1) - column sums of gammaln(m + 1); order = argsort(-scores)

on dense arrays (4096 x 4096 counts below 50; 8192 x 8192 for reorder, beside m[np.ix_(o, o)]),
a CSR matrix of 10^6 items with 1.1 * 10^7 non-zero counts (rank beside the recipe and beside
scores; reorder beside SciPy's a[o][:, o]), and one of 10^6 items with 5 * 10^7 in CSR, CSC, COO
as SciPy's tocoo() leaves it and COO in no order (beside the CSR ranking and the recipe). Then
the peak memory beyond the input while ranking (each in a fresh process), and how soon Ctrl-C
stops a long call. Prints medians, ratios and the most each may be.
Run by bench/run with the module on PYTHONPATH; usage: python_bench.py RUNS
"""
import signal
import statistics
import subprocess
import sys
import threading
import time

import numpy as np
import scipy.sparse as sp
from scipy.special import gammaln

import tornavel


def recipe_order(m):
    if sp.issparse(m):
        c = m.tocsc()
        sums = np.asarray(c.sum(axis=0)).ravel()
        logs = sp.csc_matrix((gammaln(c.data + 1.0), c.indices, c.indptr), shape=c.shape)
        b = np.asarray(logs.sum(axis=0)).ravel()
    else:
        sums = m.sum(axis=0)
        b = gammaln(m + 1.0).sum(axis=0)
    return np.argsort(-(gammaln(sums + 1.0) - b), kind="stable")


def median_seconds(f, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def sparse_matrix(n, nnz, kind):
    """The same matrix every time for the same arguments; kind: csr, csc, coo or shuffled."""
    rng = np.random.default_rng(1)
    rows, columns = rng.integers(0, n, nnz, dtype=np.int32), rng.integers(0, n, nnz, dtype=np.int32)
    values = rng.integers(1, 20, nnz)
    if kind == "shuffled":  # as a user's pairs come: repeats and no order
        return sp.coo_matrix((values, (rows, columns)), shape=(n, n))
    a = sp.csr_matrix((values, (rows, columns)), shape=(n, n))
    a.sum_duplicates()
    if kind == "csc":
        return a.tocsc()
    return a.tocoo() if kind == "coo" else a


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not in /proc/self/status")


def peak_beyond_input(n, nnz, kind):
    """Run in a fresh process: the growth of the peak resident memory while ranking."""
    a = sparse_matrix(n, nnz, kind)
    tornavel.rank(a)  # the helper thread started, as in any later call
    # Linux resets the peak (VmHWM) to the current resident size on "5" in clear_refs.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_kib("VmRSS")
    tornavel.rank(a)
    print((status_kib("VmHWM") - before) / 1024.0)


def ctrl_c_seconds(call):
    """How long call goes on after SIGINT reaches this thread 0.1 s into it."""
    sent = []

    def send():
        time.sleep(0.1)
        sent.append(time.perf_counter())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    t = threading.Thread(target=send)
    t.start()
    try:
        call()
        stopped = None
    except KeyboardInterrupt:
        stopped = time.perf_counter()
    t.join()
    return None if stopped is None else stopped - sent[0]


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "peak":
        return peak_beyond_input(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
    runs = int(sys.argv[1])
    rng = np.random.default_rng(1)
    m = rng.integers(0, 50, (4096, 4096))
    big = rng.integers(0, 50, (8192, 8192))
    ob = tornavel.rank(big)
    rows = [("dense 4096 x 4096", "scores + argsort", lambda: recipe_order(m), "tornavel.rank", lambda: tornavel.rank(m), 0.05),
            ("dense 8192 x 8192", "m[np.ix_(o, o)]", lambda: big[np.ix_(ob, ob)], "tornavel.reorder",
             lambda: tornavel.reorder(big, ob), 1.0)]
    a = sparse_matrix(1_000_000, 11_000_000, "csr")
    p = tornavel.rank(a)
    rows += [("sparse 10^6 items, 1.1 * 10^7 non-zero, CSR", "scores + argsort", lambda: recipe_order(a),
              "tornavel.rank", lambda: tornavel.rank(a), 0.1),
             ("", "tornavel.scores", lambda: tornavel.scores(a), "tornavel.rank", lambda: tornavel.rank(a), 1.3),
             ("", "a[o][:, o]", lambda: a[p][:, p], "tornavel.reorder", lambda: tornavel.reorder(a, p), 1.0)]
    big_csr = sparse_matrix(1_000_000, 50_000_000, "csr")
    forms = {"csc": big_csr.tocsc(), "coo": big_csr.tocoo(), "shuffled": sparse_matrix(1_000_000, 50_000_000, "shuffled")}
    rows.append(("sparse 10^6 items, 5 * 10^7 non-zero", "rank of CSR", lambda: tornavel.rank(big_csr),
                 "rank of CSC", lambda: tornavel.rank(forms["csc"]), 1.2))
    rows.append(("", "CSC recipe", lambda: recipe_order(forms["csc"]), "rank of CSC", lambda: tornavel.rank(forms["csc"]), 0.2))
    rows.append(("", "rank of CSR", lambda: tornavel.rank(big_csr), "rank of COO", lambda: tornavel.rank(forms["coo"]), 1.2))
    rows.append(("", "COO recipe", lambda: recipe_order(forms["coo"]), "rank of COO", lambda: tornavel.rank(forms["coo"]), 0.2))
    rows.append(("  (COO in no order, repeats: a band of columns a pass)", "COO recipe", lambda: recipe_order(forms["shuffled"]),
                 "rank of COO", lambda: tornavel.rank(forms["shuffled"]), None))
    print(f"\npython: median of {runs} runs, side by side")
    for title, theirs_name, theirs, ours_name, ours, most in rows:
        if title:
            print(f"  {title}")
        t, u = median_seconds(theirs, runs), median_seconds(ours, runs)
        limit = f"(at most {most})" if most is not None else ""
        print(f"    {theirs_name:18} {t * 1000:9.1f} ms   {ours_name:17} {u * 1000:9.1f} ms   "
              f"ours / theirs = {u / t:6.3f} {limit}")
    del big_csr, forms
    print("  peak memory beyond the input while ranking (a fresh process each)")
    for n, nnz, kind, most in [(1_000_000, 11_000_000, "csr", None), (1_000_000, 50_000_000, "csc", 64),
                               (1_000_000, 50_000_000, "coo", 64), (1_000_000, 50_000_000, "shuffled", None)]:
        extra = float(subprocess.run([sys.executable, __file__, "peak", str(n), str(nnz), kind], check=True,
                                     capture_output=True, text=True).stdout)
        limit = f"(at most {most} MiB)" if most else ""
        print(f"    {kind:9} {nnz:>11,} non-zero: {extra:6.1f} MiB {limit}")
    dense = np.asfortranarray(np.ones((20000, 20000), np.uint8))
    latencies = [ctrl_c_seconds(lambda: tornavel.rank(dense)) for _ in range(max(runs, 3))]
    stopped = [s for s in latencies if s is not None]
    shown = f"{statistics.median(stopped) * 1000:.1f} ms" if stopped else "never"
    print(f"  Ctrl-C 0.1 s into rank of a 20000 x 20000 uint8 array: KeyboardInterrupt after {shown} "
          f"(median of {len(stopped)}; at most 200 ms)")


if __name__ == "__main__":
    main()
