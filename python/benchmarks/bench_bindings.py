#!/usr/bin/env python3
"""The Python bindings' three targets, measured in one run.

1. The 66 runs of the MINPACK-1 test set through Python callables: ondrel.root with
   method="robust" against scipy.optimize.root(method="hybr") (MINPACK's hybrj), the same
   callables for both; runs solved (||F|| <= 1e-8 at the returned point) and the median time per
   solve over the runs both solve.
2. The binding's own cost: a warm 2 x 2 solve through Broyden.solve (two residual calls, the
   held Jacobian) against two direct calls of the same trivial Python residual.
3. The 2-D Bratu problem at about 10^6 unknowns with a vectorised NumPy residual and a
   scipy.sparse Jacobian through ondrel.SparseBroyden, against the C++ example bratu2d on the
   same grid and settings.

Run from the repository root after building the default preset's targets OndrelPython,
OndrelPythonMinpack and bratu2d:

    OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 PYTHONPATH=build/default/python \\
        nice -n 19 /usr/bin/python3 python/benchmarks/bench_bindings.py
"""

import argparse
import re
import statistics
import subprocess
import time
import timeit

import numpy as np
import scipy.optimize
import scipy.sparse

import _minpack
import ondrel

SOLVED_RESIDUAL_NORM = 1e-8  # the C++ benchmarks' criterion of a solved run
HYBR_TOLERANCE = 1e-10  # hybrj's relative x tolerance, as the C++ peer comparison sets it


def best_time(solve, budget=0.2):
    """The fastest of repeated calls within about `budget` seconds (at least 5)."""
    times = []
    start = time.perf_counter()
    while len(times) < 5 or time.perf_counter() - start < budget:
        begin = time.perf_counter()
        solve()
        times.append(time.perf_counter() - begin)
        if len(times) >= 1000:
            break
    return min(times)


def minpack():
    rows = []
    for index, name in enumerate(_minpack.names()):
        fun, jac = _minpack.callables(index)
        for factor in _minpack.START_FACTORS:
            x0 = _minpack.start(index, factor)

            def ours():
                return ondrel.root(fun, x0, jac=jac, method="robust")

            def hybr():
                return scipy.optimize.root(fun, x0, jac=jac, method="hybr", tol=HYBR_TOLERANCE)

            solved = []
            for solve in (ours, hybr):
                with np.errstate(all="ignore"):
                    result = solve()
                    norm = np.linalg.norm(fun(result.x))
                solved.append(bool(np.isfinite(norm) and norm <= SOLVED_RESIDUAL_NORM))
            with np.errstate(all="ignore"):
                rows.append((name, factor, solved, best_time(ours), best_time(hybr)))
    ours_solved = sum(r[2][0] for r in rows)
    hybr_solved = sum(r[2][1] for r in rows)
    both = [r for r in rows if all(r[2])]
    ours_median = statistics.median(r[3] for r in both)
    hybr_median = statistics.median(r[4] for r in both)
    print("== MINPACK-1 test set, 66 runs through Python callables")
    print(f"ondrel.root(method='robust') solves {ours_solved}, scipy hybr solves {hybr_solved}")
    print(f"median time per solve on the {len(both)} runs both solve: ondrel "
          f"{ours_median * 1e6:.1f} us, hybr {hybr_median * 1e6:.1f} us, ratio "
          f"{ours_median / hybr_median:.2f}")


def glue():
    def residual(x):
        return np.array([x[0] + x[1] - 3.0, x[0] - x[1] - 1.0])

    def jacobian(x):
        return np.array([[1.0, 1.0], [1.0, -1.0]])

    solver = ondrel.Broyden(residual, jacobian, 2)
    start = np.array([2.5, 0.5])
    x = start.copy()
    solver.solve(x)  # holds the exact Jacobian from here on

    def warm_solve():
        x[:] = start
        return solver.solve(x)

    record = warm_solve()
    assert record.converged and record.residual_evaluations == 2
    assert record.jacobian_evaluations == 0
    # Interleaved rounds, the fastest of each: on a shared machine the load moves between rounds,
    # and the ratio should not compare a quiet round with a busy one.
    number = 20000
    solve_time = call_time = reset_time = float("inf")
    for _ in range(15):
        solve_time = min(solve_time, timeit.timeit(warm_solve, number=number) / number)
        call_time = min(call_time, timeit.timeit(lambda: residual(start), number=number) / number)
        reset_time = min(reset_time, timeit.timeit(lambda: start.copy(), number=number) / number)
    print("== The binding's own cost: a warm 2 x 2 solve")
    print(f"Broyden.solve {solve_time * 1e6:.2f} us (two residual calls, no Jacobian; the reset "
          f"of x, about {reset_time * 1e6:.2f} us, included), one direct residual call "
          f"{call_time * 1e6:.2f} us: ratio to two calls {solve_time / (2 * call_time):.2f}")


def bratu(grid, example):
    n = grid
    m = n * n
    scale = 6.0 / (n + 1) ** 2

    def residual(u):
        grid_u = u.reshape(n, n)  # row j holds y_j, column i x_i: unknown k = i + n j
        padded = np.pad(grid_u, 1)
        f = (4.0 * grid_u - padded[1:-1, :-2] - padded[1:-1, 2:] - padded[:-2, 1:-1]
             - padded[2:, 1:-1] - scale * np.exp(grid_u))
        return f.ravel()

    one_d = scipy.sparse.diags([-1.0, 0.0, -1.0], [-1, 0, 1], shape=(n, n))
    laplacian = (scipy.sparse.kron(scipy.sparse.identity(n), one_d)
                 + scipy.sparse.kron(one_d, scipy.sparse.identity(n))
                 + 4.0 * scipy.sparse.identity(m)).tocsc()
    laplacian.sort_indices()
    # Where each diagonal entry sits in the CSC arrays: only those values change.
    columns = np.repeat(np.arange(m), np.diff(laplacian.indptr))
    diagonal = np.flatnonzero(laplacian.indices == columns)
    assert diagonal.size == m

    def jacobian(u):
        values = laplacian.data.copy()
        values[diagonal] = 4.0 - scale * np.exp(u)
        return scipy.sparse.csc_matrix((values, laplacian.indices, laplacian.indptr),
                                       shape=(m, m))

    solver = ondrel.SparseBroyden(residual, jacobian, m)
    u = np.zeros(m)
    begin = time.perf_counter()
    record = solver.solve(u)
    python_seconds = time.perf_counter() - begin
    print(f"== 2-D Bratu, N = {n} ({m} unknowns)")
    print(f"Python: {record.termination.name} it {record.iterations} nJ "
          f"{record.jacobian_evaluations} centre {u[(n // 2) + n * (n // 2)]:.8f} "
          f"{python_seconds:.2f} s")
    output = subprocess.run([example, "--grid", str(n)], capture_output=True, text=True,
                            check=True).stdout
    line = [text for text in output.splitlines() if f"N = {n:4d}" in text][0]
    cpp_seconds = float(re.search(r"([0-9.]+) s$", line).group(1))
    print(f"C++:   {line.strip()}")
    print(f"ratio Python / C++ {python_seconds / cpp_seconds:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--part", choices=("minpack", "glue", "bratu", "all"), default="all")
    parser.add_argument("--grid", type=int, default=1023, help="Bratu's N (odd), m = N^2")
    parser.add_argument("--example", default="build/default/examples/bratu2d")
    arguments = parser.parse_args()
    if arguments.part in ("minpack", "all"):
        minpack()
    if arguments.part in ("glue", "all"):
        glue()
    if arguments.part in ("bratu", "all"):
        bratu(arguments.grid, arguments.example)


if __name__ == "__main__":
    main()
