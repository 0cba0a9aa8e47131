"""The stateful solvers and the validation of their settings."""

import numbers

import numpy as np

from . import _core

_INTEGER_SETTINGS = (
    "max_iterations",
    "refresh_count_limit",
    "max_step_cuts",
    "stagnation_jacobians",
    "stagnation_iterations",
)
_REAL_SETTINGS = (
    "absolute_tolerance",
    "relative_tolerance",
    "refresh_reduction_ratio",
    "good_reduction_ratio",
    "max_step_factor",
    "residual_growth_allowance",
    "divergence_factor",
    "relative_residual_tolerance",
)
_SCALE_SETTINGS = ("residual_scales", "variable_scales")
_SIGN_CONSTRAINTS = {
    "none": _core.SignConstraint.NONE,
    "non_negative": _core.SignConstraint.NON_NEGATIVE,
    "positive": _core.SignConstraint.POSITIVE,
    "non_positive": _core.SignConstraint.NON_POSITIVE,
    "negative": _core.SignConstraint.NEGATIVE,
}
_UPDATE_METHODS = {
    "good_broyden_on_jacobian": 0,
    "good_broyden_on_inverse": 1,
    "bad_broyden_on_inverse": 2,
}
_STEP_CONTROLS = {
    "full_step": _core.StepControl.FULL_STEP,
    "line_search": _core.StepControl.LINE_SEARCH,
    "trust_region": _core.StepControl.TRUST_REGION,
}
SETTINGS = (
    _INTEGER_SETTINGS
    + _REAL_SETTINGS
    + _SCALE_SETTINGS
    + ("constraints", "update_method", "step_control", "fail_fast", "monitor", "output_stream")
)
_UINT64_MAX = 2**64 - 1
_INT32_RANGE = (-(2**31), 2**31 - 1)


def _is_integer(value):
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def check_size(name, value):
    if not _is_integer(value):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, got {value}")
    return int(value)


def _named(name, value, names, accepts, kind):
    """A setting given by its value or by one of its names."""
    if isinstance(value, str):
        if value not in names:
            raise ValueError(f"{name} {value!r} is none of {sorted(names)}")
        return names[value]
    if not accepts(value):
        raise TypeError(f"{name} must be {kind} or a name, got {type(value).__name__}")
    return value


def make_parameters(settings, robust=False, persistent=False):
    """Returns (Parameters, output_stream, monitor) for snake_case settings, starting from
    the robust or the persistent preset when asked.

    Raises TypeError for an unknown setting or a value of the wrong type and ValueError
    for a value outside the setting's range. Everything else acts exactly as set, as in
    C++ (a NaN tolerance never lets a norm pass).
    """
    if persistent:
        parameters = _core.Parameters.persistent()
    else:
        parameters = _core.Parameters.robust() if robust else _core.Parameters()
    output_stream = None
    monitor = None
    for name, value in settings.items():
        if name in _INTEGER_SETTINGS:
            value = check_size(name, value)
            if value > _UINT64_MAX:
                raise ValueError(f"{name} must be below 2**64, got {value}")
            setattr(parameters, name, value)
        elif name in _REAL_SETTINGS:
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
            setattr(parameters, name, float(value))
        elif name in _SCALE_SETTINGS:
            # Their length and values are the solver's to check, at each solve.
            scales = np.asarray(value)
            if scales.ndim != 1 or scales.dtype.kind not in "biuf":
                raise TypeError(f"{name} must be a 1-D array of real numbers")
            setattr(parameters, name, scales.astype(np.float64))
        elif name == "constraints":
            parameters.constraints = [
                _named(name, entry, _SIGN_CONSTRAINTS,
                       lambda v: isinstance(v, _core.SignConstraint), "SignConstraints")
                for entry in value
            ]
        elif name == "update_method":
            value = _named(name, value, _UPDATE_METHODS, _is_integer, "an int")
            if not _INT32_RANGE[0] <= value <= _INT32_RANGE[1]:
                raise ValueError(f"update_method must fit 32 bits, got {value}")
            parameters.update_method = int(value)
        elif name == "step_control":
            parameters.step_control = _named(
                name, value, _STEP_CONTROLS,
                lambda v: isinstance(v, _core.StepControl), "a StepControl"
            )
        elif name == "fail_fast":
            if not isinstance(value, bool):
                raise TypeError(f"fail_fast must be a bool, got {type(value).__name__}")
            parameters.fail_fast = value
        elif name == "monitor":
            if value is not None and not callable(value):
                raise TypeError(f"monitor must be callable or None, got {type(value).__name__}")
            monitor = value
        elif name == "output_stream":
            if value is not None and value is not True and not hasattr(value, "write"):
                raise TypeError(
                    "output_stream must be None, True (sys.stdout) or a file object, got "
                    f"{type(value).__name__}"
                )
            output_stream = value
        else:
            raise TypeError(
                f"unknown setting {name!r}; the settings are {', '.join(SETTINGS)}"
            )
    return parameters, output_stream, monitor


class Broyden(_core.Broyden):
    """The dense solver: Broyden's method with the inverse Jacobian held, for m equations.

    ``Broyden(fun, jac, m, n=None, *, robust=False, persistent=False, **settings)``:
    ``fun(x)`` returns the
    m residuals; ``jac(x)`` the m x m Jacobian (a NumPy array), or ``jac=True`` when
    ``fun`` returns ``(F, J)``, or ``jac=None`` for forward differences. ``n`` is the
    number of values of the variables (a State's length; ``m`` for a plain vector).
    ``robust=True`` starts from the robust preset (the line search), ``persistent=True``
    from the persistent one (the robust preset, then two trust-region fallbacks, each from the
    guess again; the settings given apply to the first attempt). The settings are the
    C++ ``BroydenParameters`` in snake_case; ``output_stream`` (default None, silent) may
    be True for ``sys.stdout`` or any object with ``write``; ``monitor(report)`` returns
    False to stop (None or True goes on).

    ``solve(x)`` drives a float64 array of n entries (written only on convergence) or a
    ``State`` to a root and returns the record (``Information``). The Jacobian is kept
    between solves (warm start); ``reset()`` drops it.
    """

    def __init__(self, fun, jac, m, n=None, *, robust=False, persistent=False, **settings):
        m = check_size("m", m)
        n = m if n is None else check_size("n", n)
        parameters, output_stream, monitor = make_parameters(settings, robust, persistent)
        super().__init__(fun, jac, m, n, parameters, output_stream, monitor, 0)


class SparseBroyden(_core.SparseBroyden):
    """The sparse solver: ``jac(x)`` returns a ``scipy.sparse`` matrix (any format).

    As ``Broyden``, with ``update_limit`` (default 20), the bound on the stored rank-one
    updates; ``jac`` must be a callable or True.
    """

    def __init__(
        self, fun, jac, m, n=None, *, robust=False, update_limit=_core.DEFAULT_UPDATE_LIMIT,
        **settings
    ):
        m = check_size("m", m)
        n = m if n is None else check_size("n", n)
        update_limit = check_size("update_limit", update_limit)
        parameters, output_stream, monitor = make_parameters(settings, robust)
        super().__init__(fun, jac, m, n, parameters, output_stream, monitor, update_limit)


def add_increment(state, dx):
    """Returns ``state`` advanced by the increment ``dx``: plain entries add, quaternions turn
    (``exp(dx) * q``, the rotation vector of the full angle multiplying on the left)."""
    return state.add_increment(dx)
