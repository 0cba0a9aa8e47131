"""root(): one solve with the conventions of scipy.optimize.root."""

import numpy as np
import scipy.sparse
from scipy.optimize import OptimizeResult

from . import _core
from ._solvers import check_size, make_parameters

_METHODS = ("broyden", "robust", "persistent")
_SUCCESS_MESSAGES = {
    _core.Termination.CONVERGED: "The solution converged.",
    _core.Termination.ACCEPTED_AT_START: "The starting point meets the tolerance.",
}


def _real_vector(x0):
    x = np.asarray(x0)
    if x.dtype.kind not in "biuf":
        raise ValueError(f"x0 must hold real numbers, got dtype {x.dtype}")
    return np.array(x, dtype=np.float64).ravel()


def _with_args(function, args):
    if not args or not callable(function):
        return function
    return lambda x: function(x, *args)


def root(fun, x0, jac=None, method="broyden", options=None, callback=None, *, args=(), tol=None):
    """Finds a root of the square system ``fun(x) = 0`` from ``x0``.

    Parameters follow ``scipy.optimize.root``:

    fun : callable ``fun(x, *args)`` returning the m residuals (array-like of real numbers).
    x0 : the starting point, m real numbers (flattened); never written.
    jac : callable ``jac(x, *args)`` returning the m x m Jacobian, a NumPy array or a
        ``scipy.sparse`` matrix (then the sparse solver runs); True when ``fun`` returns
        ``(F, J)``; None (or False) for forward differences (dense).
    method : "broyden" (the library's defaults: full steps), "robust" (the robust preset:
        a backtracking line search for far starts) or "persistent" (the robust preset, then
        two trust-region fallbacks from ``x0`` again; dense Jacobians only).
    options : dict of settings by their C++ names in snake_case (``max_iterations``,
        ``absolute_tolerance``, ``step_control``, ``fail_fast``, ...), ``update_limit`` for
        the sparse solver, ``maxiter`` (= ``max_iterations``) and ``disp``: True prints the
        progress line of a converged solve to ``sys.stdout``. Silent otherwise.
    callback : ``callback(x, f)`` after every iteration (and once at the start), with the
        trial point and its residual; raising StopIteration stops the solve as a failure.
    args : extra arguments for ``fun`` and ``jac``.
    tol : the absolute tolerance on ||F|| (``absolute_tolerance``), unless options set it.

    Returns an ``OptimizeResult`` with ``x``, ``success``, ``status`` (the termination's
    value), ``message``, ``fun``, ``nfev`` (calls of ``fun``), ``njev`` (Jacobians the solver
    used), ``nit``, ``termination`` (a ``Termination``) and ``record`` (the ``Information``
    of the solve). On failure ``x`` is the last point the solver evaluated and ``fun`` its
    residual. Exceptions raised by ``fun``, ``jac`` or ``callback`` propagate unchanged.
    """
    if method not in _METHODS:
        raise ValueError(f"method must be one of {_METHODS}, got {method!r}")
    settings = dict(options or {})
    display = settings.pop("disp", False)
    if "maxiter" in settings:
        if "max_iterations" in settings:
            raise TypeError("options set both maxiter and max_iterations")
        settings["max_iterations"] = settings.pop("maxiter")
    for reserved, instead in (("output_stream", "disp"), ("monitor", "callback")):
        if reserved in settings:
            raise TypeError(f"root takes {instead} instead of the setting {reserved}")
    if tol is not None:
        settings.setdefault("absolute_tolerance", tol)
    update_limit = settings.pop("update_limit", None)

    x = _real_vector(x0)
    fun = _with_args(fun, args)
    jac = _with_args(jac, args)

    # The kind of Jacobian decides the solver, so it is evaluated once here and handed to the
    # solver as its first evaluation at x0: no call is made twice.
    probe_calls = 0
    primed = None
    sparse = False
    if jac is True:
        pair = fun(x.copy())
        probe_calls = 1
        if isinstance(pair, (tuple, list)) and len(pair) == 2:
            sparse = scipy.sparse.issparse(pair[1])
        primed = (pair, None)
    elif callable(jac):
        first_jacobian = jac(x.copy())
        sparse = scipy.sparse.issparse(first_jacobian)
        primed = (None, first_jacobian)

    # The monitor reaches the solver through this list, emptied after the solve: a closure over
    # the solver itself would make a cycle through the compiled object, which Python's
    # collector cannot see.
    current = []
    if callback is not None:

        def monitor(report):
            f = current[0]._residual_at(report.values)
            if f is None:
                f = np.asarray(fun(report.values.copy()))
            try:
                callback(report.values, f)
            except StopIteration:
                return False
            return True

        settings["monitor"] = monitor
    if display:
        settings["output_stream"] = True

    parameters, output_stream, monitor = make_parameters(
        settings, method == "robust", method == "persistent"
    )
    if sparse:
        limit = _core.DEFAULT_UPDATE_LIMIT if update_limit is None else update_limit
        limit = check_size("update_limit", limit)
        solver = _core.SparseBroyden(
            fun, jac, x.size, x.size, parameters, output_stream, monitor, limit
        )
    else:
        if update_limit is not None:
            raise TypeError("update_limit is a setting of the sparse solver only")
        solver = _core.Broyden(fun, jac, x.size, x.size, parameters, output_stream, monitor, 0)
    if primed is not None:
        solver._prime(x, *primed)

    current.append(solver)
    try:
        record = solver.solve(x)
    finally:
        current.clear()
    if record.converged and record.termination in _SUCCESS_MESSAGES:
        f = solver._residual_at(x)
        if f is None:
            f = np.asarray(fun(x.copy()), dtype=np.float64)
            probe_calls += 1
        message = _SUCCESS_MESSAGES[record.termination]
    else:
        last = solver._last_evaluation()
        if last is not None:
            x, f = last
        else:
            f = np.full(x.size, np.nan)
        message = record.message
    return OptimizeResult(
        x=x,
        success=bool(record.converged),
        status=int(record.termination),
        message=message,
        fun=f,
        nfev=solver.function_calls + probe_calls,
        njev=record.jacobian_evaluations,
        nit=record.iterations,
        termination=record.termination,
        record=record,
    )
