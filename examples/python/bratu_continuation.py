#!/usr/bin/env python3
"""Bratu continuation from Python: -u'' = lambda exp(u), u(0) = u(1) = 0, on 1000 interior
points, for lambda from 0.1 to 3.5 in steps of 0.1, just short of the fold at 3.5138.

Every solve starts from the previous root on the same ondrel.Broyden object, so after the first
one the held Jacobian carries over: the Jacobian column counts how often a solve evaluated and
factorised afresh. The centre value u(1/2) is compared with the closed-form solution of the
continuous problem. The C++ example bratu_continuation does the same.

With --output-dir DIR it writes DIR/bratu_continuation_py.csv (the residual norm at every
evaluation, columns solve,label,evaluation,residual_norm) and a summary line, which scripts/demo
draws and tabulates beside the C++ examples.
"""

import argparse
import math
import os
import time

import numpy as np

import ondrel

UNKNOWNS = 1000
H = 1.0 / (UNKNOWNS + 1)
# Multiplied by, as in the C++ example (whose counts still differ a little: NumPy's exp rounds its
# own way).
INVERSE_SQUARE = 1.0 / (H * H)


def closed_form_centre(lam):
    """u(1/2) of the continuous lower branch: theta = sqrt(2 lambda) cosh(theta / 4), by Newton's
    method from 0, which rises monotonically to the smaller root."""
    a = math.sqrt(2.0 * lam)
    theta = 0.0
    for _ in range(200):
        g = theta - a * math.cosh(theta / 4.0)
        slope = 1.0 - a * math.sinh(theta / 4.0) / 4.0
        following = theta - g / slope
        if abs(following - theta) <= 1e-15 * following:
            return 2.0 * math.log(math.cosh(following / 4.0))
        theta = following
    return math.nan


def centre_of(u):
    # With an even count the centre lies between two points: cubic interpolation keeps O(h^4).
    n = u.size
    right = n // 2
    return (-u[right - 2] + 9.0 * u[right - 1] + 9.0 * u[right] - u[right + 1]) / 16.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output-dir")
    arguments = parser.parse_args()

    lam = 0.0  # read by the residual at every call: continuation changes it between solves
    history = []  # (solve, label, evaluation, residual norm)
    label = ""

    def residual(u):
        padded = np.concatenate(([0.0], u, [0.0]))
        f = (2.0 * u - padded[:-2] - padded[2:]) * INVERSE_SQUARE - lam * np.exp(u)
        history.append((solve_count, label, len(history), float(np.linalg.norm(f))))
        return f

    def jacobian(u):
        j = np.diag(2.0 * INVERSE_SQUARE - lam * np.exp(u))
        off = np.full(UNKNOWNS - 1, -INVERSE_SQUARE)
        return j + np.diag(off, 1) + np.diag(off, -1)

    # Rounding alone leaves ||F|| near 1e-8 (entries of size 1e6 u times eps, over 1000 rows).
    solver = ondrel.Broyden(residual, jacobian, UNKNOWNS, max_iterations=100,
                            absolute_tolerance=1e-7, relative_tolerance=1e-9)
    u = np.zeros(UNKNOWNS)
    print(f"Bratu problem, {UNKNOWNS} unknowns, continuation in lambda from 0.1 to 3.5 (Python)")
    solve_count = 0
    totals = {"iterations": 0, "jacobians": 0}
    worst_small, worst = 0.0, 0.0
    converged = True
    started = time.perf_counter()
    for step in range(1, 36):
        lam = 0.1 * step
        label = f"lambda {lam:.1f}"
        begin = time.perf_counter()
        record = solver.solve(u)
        milliseconds = 1e3 * (time.perf_counter() - begin)
        solve_count += 1
        centre, exact = centre_of(u), closed_form_centre(lam)
        deviation = abs(centre - exact)
        worst = max(worst, deviation)
        if lam <= 1.0 + 1e-12:
            worst_small = max(worst_small, deviation)
        print(f"  lambda {lam:.1f}: {'converged' if record.converged else record.message:9s} "
              f"it {record.iterations:3d}  nJ {record.jacobian_evaluations}  u(1/2) {centre:.8f}  "
              f"closed form {exact:.8f}  diff {deviation:.1e}  {milliseconds:6.1f} ms")
        totals["iterations"] += record.iterations
        totals["jacobians"] += record.jacobian_evaluations
        converged = converged and record.converged
        if not record.converged:
            break
    seconds = time.perf_counter() - started

    # Central differences are second order: h^2 / 10 for lambda <= 1, looser towards the fold.
    passed = converged and worst_small < H * H / 10.0 and worst < 50.0 * H * H
    final = float(np.linalg.norm(residual(u)))
    print(f"  {solve_count} solves, {totals['iterations']} iterations, "
          f"{totals['jacobians']} Jacobians, {seconds:.2f} s; "
          f"check {'passed' if passed else 'FAILED'}")
    if arguments.output_dir:
        stem = os.path.join(arguments.output_dir, "bratu_continuation_py")
        with open(stem + ".csv", "w", encoding="utf-8") as out:
            out.write("solve,label,evaluation,residual_norm\n")
            for row in history[:-1]:  # the last row is the check's own evaluation
                out.write(f"{row[0]},{row[1]},{row[2]},{row[3]:.17g}\n")
        with open(stem + ".summary", "w", encoding="utf-8") as out:
            out.write(f"bratu_continuation_py\t{UNKNOWNS}\t{solve_count}\t"
                      f"{'yes' if converged else 'no'}\t{totals['iterations']}\t"
                      f"{totals['jacobians']}\t{final}\t{seconds}\t"
                      f"{'passed' if passed else 'FAILED'}\n")
    return 0 if passed else 1


if __name__ == "__main__":
    raise SystemExit(main())
