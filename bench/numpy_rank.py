#!/usr/bin/env python3
"""The ranking as a short numpy + scipy script, for the benchmark's comparison: scores from
scipy's log-gamma instead of the running sum, so it is fast but not exact (near-ties may rank
differently). Writes tornavel.ord and tornavel.frq like the tool. usage: numpy_rank.py FILE"""
import sys

import numpy as np
from scipy.special import gammaln

data = np.fromfile(sys.argv[1], dtype="<i4")
columns, rows = int(data[0]), int(data[1])
counts = data[2:2 + rows * columns].reshape(rows, columns).astype(np.float64)
scores = (gammaln(counts.sum(axis=0) + 1) - gammaln(counts + 1).sum(axis=0)).astype(np.float32)
order = np.lexsort((np.arange(columns), -scores)).astype("<i4")
order.tofile("tornavel.ord")
with open("tornavel.frq", "wb") as out:
    np.array([columns, rows], dtype="<i4").tofile(out)
    data[2:2 + rows * columns].reshape(rows, columns)[np.ix_(order, order)].tofile(out)
