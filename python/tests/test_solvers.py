"""The stateful solvers: warm starts, settings, callables that misbehave."""

import sys
import traceback

import numpy as np
import pytest
import scipy.sparse

import ondrel
from test_root import circle, circle_jacobian


def test_warm_start_keeps_the_jacobian():
    solver = ondrel.Broyden(circle, circle_jacobian, 2)
    x = np.array([1.0, 2.0])
    assert solver.solve(x).jacobian_evaluations == 1
    x += 0.01
    second = solver.solve(x)
    assert second.converged and second.jacobian_evaluations == 0
    solver.reset()
    assert solver.solve(np.array([1.0, 2.0])).jacobian_evaluations == 1


def test_strided_array_is_written_only_on_convergence():
    solver = ondrel.Broyden(circle, circle_jacobian, 2)
    buffer = np.array([1.0, -7.0, 2.0, -7.0])
    assert solver.solve(buffer[::2]).converged
    np.testing.assert_allclose(buffer, [np.sqrt(2), -7.0, np.sqrt(2), -7.0], rtol=1e-9)


class Raised(Exception):
    pass


def raise_at(call, callable_):
    calls = []

    def wrapped(*args):
        calls.append(1)
        if len(calls) == call:
            raise Raised("from the callable")
        return callable_(*args)

    return wrapped


@pytest.mark.parametrize(
    "where", ["fun at the start", "fun in an iteration", "jac", "monitor", "sparse jac"]
)
def test_exception_propagates_unchanged_and_leaves_x(where):
    fun, jac, settings, kind = circle, circle_jacobian, {}, ondrel.Broyden
    if where == "fun at the start":
        fun = raise_at(1, circle)
    elif where == "fun in an iteration":
        fun = raise_at(3, circle)
    elif where == "jac":
        jac = raise_at(1, circle_jacobian)
    elif where == "monitor":
        settings["monitor"] = raise_at(2, lambda report: True)
    else:
        kind = ondrel.SparseBroyden
        jac = raise_at(1, lambda x: scipy.sparse.csr_matrix(circle_jacobian(x)))
    solver = kind(fun, jac, 2, **settings)
    x = np.array([1.0, 2.0])
    with pytest.raises(Raised) as caught:
        solver.solve(x)
    assert traceback.extract_tb(caught.tb)[-1].name == "wrapped"
    np.testing.assert_array_equal(x, [1.0, 2.0])


@pytest.mark.parametrize(
    "fun, jac, expected",
    [
        (lambda x: np.zeros(3), circle_jacobian, r"fun returned an array of shape \(3,\); "
                                                 r"expected shape \(2,\)"),
        (lambda x: np.zeros((2, 1)), circle_jacobian, r"shape \(2, 1\); expected shape \(2,\)"),
        (lambda x: circle(x) + 0j, circle_jacobian, "dtype complex128"),
        (circle, lambda x: np.zeros((2, 3)), r"jac returned .* shape \(2, 3\); "
                                             r"expected shape \(2, 2\)"),
        (circle, lambda x: scipy.sparse.eye(3), r"sparse matrix of shape \(3, 3\)"),
        (lambda x: circle(x).tolist(), lambda x: "J", "dtype <U1"),
        (circle, True, r"fun must return a pair \(F, J\) when jac=True; it returned ndarray"),
    ],
)
def test_wrong_shapes_and_dtypes_name_both_shapes(fun, jac, expected):
    kind = ondrel.SparseBroyden if "sparse" in expected else ondrel.Broyden
    with pytest.raises(ValueError, match=expected):
        kind(fun, jac, 2).solve(np.array([1.0, 2.0]))


@pytest.mark.parametrize(
    "x, expected",
    [
        (np.array([1, 2]), r"float64 array of shape \(2,\); got int64 of shape \(2,\)"),
        (np.zeros(3), r"got float64 of shape \(3,\)"),
        (np.zeros((2, 1)), r"of shape \(2, 1\)"),
    ],
)
def test_solve_refuses_arrays_it_cannot_write(x, expected):
    with pytest.raises(ValueError, match=expected):
        ondrel.Broyden(circle, circle_jacobian, 2).solve(x)


@pytest.mark.parametrize(
    "settings, error",
    [
        ({"max_iterations": 2.5}, TypeError),
        ({"max_iterations": True}, TypeError),
        ({"max_iterations": -1}, ValueError),
        ({"absolute_tolerance": "1e-8"}, TypeError),
        ({"fail_fast": 1}, TypeError),
        ({"step_control": "dogleg"}, ValueError),
        ({"update_method": 1.0}, TypeError),
        ({"monitor": 3}, TypeError),
        ({"output_stream": "stdout"}, TypeError),
        ({"maxIterations": 3}, TypeError),
        ({"constraints": ["positive", "upwards"]}, ValueError),
        ({"residual_scales": np.ones((2, 2))}, TypeError),
    ],
)
def test_settings_are_validated(settings, error):
    with pytest.raises(error):
        ondrel.Broyden(circle, circle_jacobian, 2, **settings)


def test_trust_region_is_the_dense_solvers_only():
    x = np.array([1.0, 2.0])
    assert ondrel.Broyden(circle, circle_jacobian, 2, step_control="trust_region").solve(x).converged
    with pytest.raises(ValueError, match="kTrustRegion"):
        ondrel.SparseBroyden(
            circle, lambda x: scipy.sparse.csr_matrix(circle_jacobian(x)), 2,
            step_control="trust_region",
        )


def test_settings_reach_the_solver():
    reports = []
    solver = ondrel.Broyden(
        circle, circle_jacobian, 2, max_iterations=3, step_control="line_search",
        monitor=reports.append, output_stream=sys.stdout,
    )
    record = solver.solve(np.array([1.0, 2.0]))
    assert record.termination == ondrel.Termination.ITERATION_LIMIT and record.iterations == 3
    assert [r.iteration for r in reports] == [0, 1, 2, 3]
    assert reports[0].jacobian_change == ondrel.JacobianChange.REFRESHED


def test_solve_from_inside_a_solve_is_refused():
    solver = None

    def reentrant(x):
        solver.solve(np.array([1.0, 2.0]))
        return circle(x)

    solver = ondrel.Broyden(reentrant, circle_jacobian, 2)
    with pytest.raises(ValueError, match="while a solve"):
        solver.solve(np.array([1.0, 2.0]))


@pytest.mark.parametrize(
    "constraints, termination, smallest",
    [
        (None, ondrel.Termination.CONVERGED, -1.0),
        # Each step towards -1 stops at 0.99 of the way to zero: 1 -> 0.01 -> 1e-4 -> ...
        (["positive"], ondrel.Termination.ITERATION_LIMIT, 1e-10),
    ],
)
def test_sign_constraints_reach_the_solver(constraints, termination, smallest):
    reports = []
    settings = {"max_iterations": 5, "monitor": reports.append}
    if constraints:
        settings["constraints"] = constraints
    solver = ondrel.Broyden(lambda x: x + 1.0, lambda x: np.eye(1), 1, **settings)
    record = solver.solve(np.array([1.0]))
    assert record.termination == termination
    assert reports[-1].termination == termination
    assert min(r.values[0] for r in reports) == pytest.approx(smallest, rel=1e-9)
