"""Ondrel Solvers from Python: Broyden's method for square nonlinear systems F(x) = 0.

Three entry points:

* ``root(fun, x0, jac=None, method="broyden", options=None, callback=None)``, a
  one-shot solve with the conventions of ``scipy.optimize.root``;
* ``Broyden`` and ``SparseBroyden``, the stateful solvers whose ``solve(x)`` keeps the
  Jacobian across calls (warm starts), as in C++;
* ``State`` with the rotation classes, for variables some stretches of which are
  quaternions turned by rotation increments.
"""

from ._core import (
    IterationReport,
    Information,
    JacobianChange,
    Quaternion,
    Rotation,
    RotationVector,
    SignConstraint,
    State,
    StepControl,
    Termination,
    termination_name,
)
from ._solvers import Broyden, SparseBroyden, add_increment
from ._root import root

__all__ = [
    "Broyden",
    "Information",
    "IterationReport",
    "JacobianChange",
    "Quaternion",
    "Rotation",
    "RotationVector",
    "SignConstraint",
    "SparseBroyden",
    "State",
    "StepControl",
    "Termination",
    "add_increment",
    "root",
    "termination_name",
]
