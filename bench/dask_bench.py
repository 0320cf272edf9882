"""tornavel.dask on a LocalCluster of 1 and 2 worker processes beside the one-process module:
a dense 16384 x 16384 .frq read as chunks of rows, and a sparse matrix of 10^6 items held as
CSR chunks. Prints each one's median time, every worker's peak memory, and for reorder the
bytes the workers sent each other: reorder's time is that of the result held by the workers
(persisted, as a matrix larger than one machine would be), and then that of gathering it into
this process as one SciPy matrix too.

usage: dask_bench.py RUNS DATA_FOLDER   (run by bench/run --workloads dask)
"""
import os
import statistics
import sys
import time

import dask
import dask.array as da
import numpy as np
import scipy.sparse as sp
from distributed import Client, LocalCluster, futures_of, wait

import tornavel
import tornavel.dask as td

side = 16384


def status_mib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    return 0.0


def peak_mib():
    """The process's peak resident size. Not getrusage's: a process started by exec keeps the
    peak of the one that started it there, and a worker was started from a copy of this one,
    which holds the dense file's pages."""
    return status_mib("VmHWM")


def file_pages_mib():
    """The resident pages of mapped files: the page cache's, shared, and given back when memory
    is short, unlike the process's own."""
    return status_mib("RssFile")


def sent_bytes(dask_worker):
    return sum(t.get("total", 0) for t in dask_worker.transfer_outgoing_log)


def median_seconds(f, runs, settle=lambda result: None, beside=None):
    """The median of runs timed calls after one untimed one (a worker maps a file's pages the
    first time it reads them, as the one process does before its first run); settle(result)
    follows each call, untimed. With beside, (that median, the median of beside's calls), each
    call of beside timed just before one of f: a shared machine's slow moments slow both alike,
    where timing them minutes apart gave ratios twice as large one run as the next."""
    if beside is not None:
        beside()
    settle(f())
    times, beside_times = [], []
    for _ in range(runs):
        if beside is not None:
            started = time.perf_counter()
            beside()
            beside_times.append(time.perf_counter() - started)
        started = time.perf_counter()
        result = f()
        times.append(time.perf_counter() - started)
        settle(result)
    if beside is None:
        return statistics.median(times)
    return statistics.median(times), statistics.median(beside_times)


def settler(client):
    """Waits until the cluster holds no more tasks than it does now, cancelling what a call
    persisted: the tasks of a run are named by what they compute, so a run started while the
    last one's are still held would find its results rather than compute them."""
    held = client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))

    def settle(result):
        if futures_of(result):
            client.cancel(result)
        while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)) > held:
            time.sleep(0.01)
    return settle


def persisted(x):
    x = x.persist()
    wait(x)
    return x


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
    print(f"  dense rank      one process         {one_rank * 1000:9.1f} ms   peak {peak_mib():.0f} MiB "
          f"(the file's pages {file_pages_mib():.0f})")
    order = tornavel.rank(sparse)
    # Dask compresses what workers send when lz4 is installed (as a dependency of other packages
    # often is); on one machine that only costs, so 2 workers run both ways.
    for workers, compression in ((1, "auto"), (2, "auto"), (2, None)):
        label = f"{workers} worker{'s' if workers > 1 else ' '}{'' if compression else ', no lz4'}"
        with dask.config.set({"distributed.comm.compression": compression}), \
                LocalCluster(n_workers=workers, threads_per_worker=2 // workers, processes=True, host="127.0.0.1",
                             dashboard_address=":0") as cluster, Client(cluster) as client:
            x = td.read(dense_path, chunks=(side // 8, side))
            seconds, one = median_seconds(lambda: td.rank(x), runs, settler(client), lambda: tornavel.rank(dense))
            peaks, mapped = client.run(peak_mib), client.run(file_pages_mib)
            print(f"  dense rank      {label:20}{seconds * 1000:9.1f} ms   / one process {one * 1000:6.1f} ms = "
                  f"{seconds / one:4.2f}   peak {' '.join(f'{p:.0f}' for p in peaks.values())} MiB a worker "
                  f"(the file's pages {' '.join(f'{p:.0f}' for p in mapped.values())})")
            xs = persisted(da.from_array(sparse, chunks=(n // 8, n), asarray=False))
            settle = settler(client)
            client.run(lambda dask_worker: dask_worker.transfer_outgoing_log.clear())
            scipy = lambda: sparse[order][:, order]
            seconds, one = median_seconds(lambda: persisted(td.reorder(xs, order)), runs, settle, scipy)
            moved = sum(client.run(sent_bytes).values())
            print(f"  sparse reorder  {label:20}{seconds * 1000:9.1f} ms   / scipy       {one * 1000:6.1f} ms = "
                  f"{seconds / one:4.2f}   {moved / (runs + 1) / 2**20:.1f} MiB sent between workers a run")
            seconds, one = median_seconds(lambda: td.reorder(xs, order).compute(), runs, settle, scipy)
            print(f"    and gathered into this process {seconds * 1000:9.1f} ms   / scipy       {one * 1000:6.1f} ms = "
                  f"{seconds / one:4.2f}")
            if workers == 1:  # the same matrix as SciPy's, not only as fast
                assert (td.reorder(xs, order).compute() != sparse[order][:, order]).nnz == 0


if __name__ == "__main__":
    main()
