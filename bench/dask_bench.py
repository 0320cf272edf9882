"""tornavel.dask on a LocalCluster of 1 and 2 worker processes beside the one-process module:
a dense 16384 x 16384 .frq read as chunks of rows, and a sparse matrix of 10^6 items held as
CSR chunks. Prints each one's median time, every worker's peak memory, and for reorder the
bytes the workers sent each other.

usage: dask_bench.py RUNS DATA_FOLDER   (run by bench/run --workloads dask)
"""
import os
import resource
import statistics
import sys
import time

import dask.array as da
import numpy as np
import scipy.sparse as sp
from distributed import Client, LocalCluster

import tornavel
import tornavel.dask as td

side = 16384


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def sent_bytes(dask_worker):
    return sum(t.get("total", 0) for t in dask_worker.outgoing_transfer_log)


def median_seconds(f, runs):
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        f()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def main():
    runs, data = int(sys.argv[1]), sys.argv[2]
    dense_path = os.path.join(data, "dask-dense.frq")
    if not os.path.exists(dense_path):
        rng = np.random.default_rng(1)
        rows = np.memmap(dense_path + ".tmp", "<i4", "w+", shape=(side * side + 2,))
        rows[:2] = side
        for r in range(0, side, 1024):
            rows[2 + r * side:2 + (r + 1024) * side] = rng.integers(0, 100, 1024 * side, dtype=np.int32)
        rows.flush()
        del rows
        os.rename(dense_path + ".tmp", dense_path)
    n = 10**6
    rng = np.random.default_rng(2)
    sparse = sp.csr_matrix((rng.integers(1, 50, 5 * n).astype(np.int32),
                            (rng.integers(0, n, 5 * n), rng.integers(0, n, 5 * n))), shape=(n, n))
    dense = tornavel.read(dense_path)

    print(f"\ndask: dense {side}^2 (.frq, {os.path.getsize(dense_path) / 2**30:.1f} GiB), sparse {n} items with "
          f"{sparse.nnz} non-zeros; median of {runs} runs")
    one_rank = median_seconds(lambda: tornavel.rank(dense), runs)
    print(f"  dense rank      one process         {one_rank * 1000:9.1f} ms   peak {peak_mib():8.1f} MiB")
    order = tornavel.rank(sparse)
    scipy_reorder = median_seconds(lambda: sparse[order][:, order], runs)
    print(f"  sparse reorder  scipy a[o][:, o]    {scipy_reorder * 1000:9.1f} ms")
    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=2 // workers, processes=True, host="127.0.0.1",
                          dashboard_address=":0") as cluster, Client(cluster) as client:
            x = td.read(dense_path, chunks=(side // 8, side))
            seconds = median_seconds(lambda: td.rank(x), runs)
            peaks = client.run(peak_mib)
            print(f"  dense rank      {workers} worker{'s' if workers > 1 else ' '}           {seconds * 1000:9.1f} ms   "
                  f"peak {' '.join(f'{p:.0f}' for p in peaks.values())} MiB a worker   "
                  f"{workers} / one process = {seconds / one_rank:5.2f}")
            xs = da.from_array(sparse, chunks=(n // 8, n), asarray=False).persist()
            client.run(lambda dask_worker: dask_worker.outgoing_transfer_log.clear())
            seconds = median_seconds(lambda: td.reorder(xs, order).compute(), runs)
            moved = sum(client.run(sent_bytes).values())
            print(f"  sparse reorder  {workers} worker{'s' if workers > 1 else ' '}           {seconds * 1000:9.1f} ms   "
                  f"{moved / runs / 2**20:8.1f} MiB sent between workers a run   / scipy = {seconds / scipy_reorder:5.2f}")


if __name__ == "__main__":
    main()
