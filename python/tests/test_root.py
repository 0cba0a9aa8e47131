"""ondrel.root against the C++ solver and against SciPy's conventions."""

import io
import signal

import numpy as np
import pytest
import scipy.sparse

import _minpack
import ondrel

CIRCLE_ROOT = np.sqrt([2.0, 2.0])


def circle(x):
    return np.array([x[0] ** 2 + x[1] ** 2 - 4.0, x[0] - x[1]])


def circle_jacobian(x):
    return np.array([[2.0 * x[0], 2.0 * x[1]], [1.0, -1.0]])


RUNS = [
    (index, factor, method)
    for index in range(len(_minpack.names()))
    for factor in _minpack.START_FACTORS
    for method in ("broyden", "robust")
]


@pytest.mark.parametrize("index, factor, method", RUNS)
def test_minpack_run_takes_the_cpp_solvers_iterates(index, factor, method):
    fun, jac = _minpack.callables(index)
    result = ondrel.root(fun, _minpack.start(index, factor), jac=jac, method=method)
    converged, iterations, jacobians, residuals, norm, x = _minpack.solve_in_cpp(
        index, factor, method == "robust"
    )
    assert (result.success, result.nit, result.njev) == (converged, iterations, jacobians)
    assert result.record.residual_evaluations == residuals
    np.testing.assert_equal(result.record.residual_norm, norm)  # NaN included
    if converged:
        np.testing.assert_array_equal(result.x, x)


def test_minpack_set_solved_counts():
    solved = {}
    fallbacks = 0
    for method in ("broyden", "robust", "persistent"):
        results = [
            ondrel.root(*_minpack.callables(i)[:1], _minpack.start(i, f),
                        jac=_minpack.callables(i)[1], method=method)
            for i, f, m in RUNS if m == "robust"
        ]
        solved[method] = sum(result.success for result in results)
        fallbacks += sum(result.record.fallbacks_used > 0 and result.success for result in results)
    # The persistent preset's fallbacks solve three runs the line search leaves.
    assert solved == {"broyden": 40, "robust": 57, "persistent": 60}
    assert fallbacks == 3


def test_result_has_scipys_fields_and_leaves_x0():
    x0 = np.array([1.0, 2.0])
    result = ondrel.root(circle, x0, jac=circle_jacobian, tol=1e-12)
    np.testing.assert_allclose(result.x, CIRCLE_ROOT, rtol=1e-10)
    np.testing.assert_array_equal(x0, [1.0, 2.0])
    assert result.success and result.status == int(ondrel.Termination.CONVERGED)
    assert result.message == "The solution converged."
    np.testing.assert_array_equal(result.fun, circle(result.x))
    # One evaluation per iteration plus the start; the Jacobian once, at the start.
    assert (result.nit, result.nfev, result.njev) == (5, 6, 1)
    assert result.termination == ondrel.Termination.CONVERGED


@pytest.mark.parametrize(
    "jac, nfev",
    [
        (circle_jacobian, 6),
        # jac=True: the probe at x0 is the solver's first evaluation, not an extra one.
        ("pair", 6),
        # Forward differences: the point itself and two columns for the one Jacobian.
        (None, 9),
    ],
)
def test_jacobian_sources_count_calls_of_fun(jac, nfev):
    if jac == "pair":
        result = ondrel.root(lambda x: (circle(x), circle_jacobian(x)), [1.0, 2.0], jac=True)
    else:
        result = ondrel.root(circle, [1.0, 2.0], jac=jac)
    assert result.success and result.nfev == nfev and result.njev == 1


def test_failure_reports_the_last_trial_point_and_its_residual():
    result = ondrel.root(circle, [1.0, 2.0], jac=circle_jacobian, options={"maxiter": 2})
    assert not result.success
    assert result.termination == ondrel.Termination.ITERATION_LIMIT
    assert result.message == "Maximum number of iterations reached"
    np.testing.assert_array_equal(result.fun, circle(result.x))
    assert np.linalg.norm(result.fun) == result.record.residual_norm


def test_disp_writes_the_progress_line_to_sys_stdout(capsys):
    # capsys replaces sys.stdout only: a line written to the C stream would not reach it.
    ondrel.root(circle, [1.0, 2.0], jac=circle_jacobian)
    assert capsys.readouterr().out == ""
    ondrel.root(circle, [1.0, 2.0], jac=circle_jacobian, options={"disp": True})
    assert capsys.readouterr().out.startswith("error: ")


def test_callback_sees_each_point_with_its_residual_and_may_stop():
    seen = []
    ondrel.root(circle, [1.0, 2.0], jac=circle_jacobian, callback=lambda x, f: seen.append((x, f)))
    assert len(seen) == 6  # iteration 0 and five iterations
    for x, f in seen:
        np.testing.assert_array_equal(f, circle(x))

    def stop(x, f):
        raise StopIteration

    result = ondrel.root(circle, [1.0, 2.0], jac=circle_jacobian, callback=stop)
    assert result.termination == ondrel.Termination.STOPPED_BY_MONITOR


def test_sparse_jacobian_runs_the_sparse_solver_with_the_dense_iterates():
    n = 50
    h2 = 1.0 / (n + 1) ** 2

    def bratu(u):
        padded = np.concatenate(([0.0], u, [0.0]))
        return 2 * u - padded[:-2] - padded[2:] - h2 * np.exp(u)

    def dense(u):
        return np.diag(2 - h2 * np.exp(u)) - np.eye(n, k=1) - np.eye(n, k=-1)

    def coo_with_duplicates(u):
        # Unsorted, with the diagonal split in two entries: merged on a copy.
        d = dense(u)
        rows, cols = np.nonzero(d)
        order = np.argsort(-rows)
        values = np.concatenate((d[rows, cols][order], [0.0] * n))
        return scipy.sparse.coo_matrix(
            (values, (np.concatenate((rows[order], np.arange(n))),
                      np.concatenate((cols[order], np.arange(n))))), shape=(n, n))

    reference = ondrel.root(bratu, np.zeros(n), jac=dense)
    for jac in (lambda u: scipy.sparse.csc_matrix(dense(u)), coo_with_duplicates):
        result = ondrel.root(bratu, np.zeros(n), jac=jac)
        assert (result.nit, result.njev) == (reference.nit, reference.njev)
        np.testing.assert_allclose(result.x, reference.x, rtol=1e-12)


def test_keyboard_interrupt_stops_a_solve():
    calls = []

    def interrupted(x):
        calls.append(1)
        if len(calls) == 3:
            signal.raise_signal(signal.SIGINT)
        return circle(x)

    # A runner that starts the suite in the background may leave SIGINT ignored, and Python then
    # installs no KeyboardInterrupt handler: install it for this test.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            ondrel.root(interrupted, [1.0, 2.0], jac=circle_jacobian)
    finally:
        signal.signal(signal.SIGINT, previous)


def test_argument_errors():
    with pytest.raises(ValueError, match="method"):
        ondrel.root(circle, [1.0, 2.0], method="hybr")
    with pytest.raises(ValueError, match="complex"):
        ondrel.root(circle, [1j, 2.0])
    with pytest.raises(TypeError, match="disp"):
        ondrel.root(circle, [1.0, 2.0], options={"output_stream": io.StringIO()})
