"""The Python module beside the recipe a NumPy user would write instead, side by side in one run.

    scores = gammaln(column sums + 1) - column sums of gammaln(m + 1); order = argsort(-scores)

on a dense 4096 x 4096 array of counts below 50, and a CSR matrix of 100,000 items with 10^7
non-zero counts; reorder beside m[np.ix_(o, o)] and SciPy's a[o][:, o]. Prints medians, ratios
and, for the sparse ranking, the peak memory beyond the input (measured in a fresh process).
Run by bench/run with the module on PYTHONPATH; usage: python_bench.py RUNS
"""
import statistics
import subprocess
import sys
import tempfile
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


def sparse_matrix():
    rng = np.random.default_rng(1)
    n, nnz = 100_000, 10_000_000
    a = sp.csr_matrix((rng.integers(1, 20, nnz), (rng.integers(0, n, nnz), rng.integers(0, n, nnz))),
                      shape=(n, n))
    a.sum_duplicates()
    return a


def peak_beyond_input(folder):
    """Run in a fresh process: the growth of the peak resident memory while ranking."""
    arrays = np.load(folder + "/a.npz")
    a = sp.csr_matrix((arrays["data"], arrays["indices"], arrays["indptr"]), shape=tuple(arrays["shape"]))
    # Linux resets the peak (VmHWM) to the current resident size on "5" in clear_refs.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_kib("VmRSS")
    tornavel.rank(a)
    print((status_kib("VmHWM") - before) / 1024.0)


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not in /proc/self/status")


def main():
    if len(sys.argv) == 3:
        return peak_beyond_input(sys.argv[2])
    runs = int(sys.argv[1])
    rng = np.random.default_rng(1)
    m = rng.integers(0, 50, (4096, 4096))
    o = tornavel.rank(m)
    # Each row: its title, theirs, ours, and the most ours / theirs may be.
    rows = [("dense 4096 x 4096", "scores + argsort", lambda: recipe_order(m), "tornavel.rank", lambda: tornavel.rank(m), 0.05),
            ("", "m[np.ix_(o, o)]", lambda: m[np.ix_(o, o)], "tornavel.reorder", lambda: tornavel.reorder(m, o), 1.5)]
    a = sparse_matrix()
    p = tornavel.rank(a)
    rows += [("sparse 100,000 items, 10^7 non-zero, CSR", "scores + argsort", lambda: recipe_order(a),
              "tornavel.rank", lambda: tornavel.rank(a), 0.1),
             ("", "a[o][:, o]", lambda: a[p][:, p], "tornavel.reorder", lambda: tornavel.reorder(a, p), 1.0)]
    print(f"\npython: median of {runs} runs, side by side")
    for title, theirs_name, theirs, ours_name, ours, most in rows:
        if title:
            print(f"  {title}")
        t, u = median_seconds(theirs, runs), median_seconds(ours, runs)
        print(f"    {theirs_name:18} {t * 1000:9.1f} ms   {ours_name:17} {u * 1000:9.1f} ms   "
              f"ours / theirs = {u / t:6.3f} (at most {most})")
    with tempfile.TemporaryDirectory() as folder:
        np.savez(folder + "/a.npz", data=a.data, indices=a.indices, indptr=a.indptr, shape=np.array(a.shape))
        extra = float(subprocess.run([sys.executable, __file__, "peak", folder], check=True,
                                     capture_output=True, text=True).stdout)
    limit = (32 * a.shape[0] + 8 * 2**20) / 2**20
    print(f"    peak memory beyond the input while ranking: {extra:.1f} MiB "
          f"(32 bytes an item and 8 MiB: {limit:.1f} MiB)")


if __name__ == "__main__":
    main()
