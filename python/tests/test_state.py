"""State, the rotation classes and a State solve."""

import numpy as np
import pytest

import ondrel

HALF = np.sqrt(0.5)
# Rounding of a few products of unit quaternions.
TOLERANCE = 1e-15


@pytest.mark.parametrize(
    "axis, expected",
    [(0, [HALF, HALF, 0, 0]), (1, [HALF, 0, HALF, 0]), (2, [HALF, 0, 0, HALF])],
)
def test_quarter_turn_about_each_axis(axis, expected):
    state = ondrel.State([5.0, 1.0, 0.0, 0.0, 0.0])
    state.add_quaternion(1)
    assert state.increment_size() == 4
    dx = np.zeros(4)
    dx[0], dx[1 + axis] = 0.5, np.pi / 2
    turned = ondrel.add_increment(state, dx)
    np.testing.assert_allclose(turned.values, [5.5] + expected, atol=TOLERANCE)
    np.testing.assert_array_equal(state.values, [5.0, 1.0, 0.0, 0.0, 0.0])


def test_rotation_classes_compose_left_operand_on_the_left():
    about_z = ondrel.Quaternion(HALF, 0.0, 0.0, HALF)
    about_x = ondrel.RotationVector(np.array([np.pi / 2, 0.0, 0.0]))
    product = about_z * about_x
    np.testing.assert_allclose(product.unknowns(), [0.5, 0.5, 0.5, 0.5], atol=TOLERANCE)
    np.testing.assert_allclose((product - about_x).unknowns(), about_z.unknowns(), atol=TOLERANCE)
    zero = ondrel.Quaternion(np.zeros(4))
    with pytest.raises(ValueError):
        ondrel.Quaternion(np.zeros(3))
    with pytest.raises(ValueError, match="no inverse"):
        zero.inverse()


def rotate(q, v):
    w, u = q[0], q[1:]
    return v + 2 * w * np.cross(u, v) + 2 * np.cross(u, np.cross(u, v))


def skew(v):
    return np.array([[0, -v[2], v[1]], [v[2], 0, -v[0]], [-v[1], v[0], 0]])


def test_state_solve_turns_a_quaternion_onto_a_pose():
    # A scale s and a turn q with s R(q) e_x = target and no x part in R(q) e_z: three rotation
    # increments and one plain one for four equations. At the identity both constraints move
    # alike about y (a singular Jacobian), so the solve starts a little turned about z.
    target = np.array([0.0, 2.0, 0.0])

    def fun(values):
        s, q = values[0], values[1:]
        return np.concatenate((s * rotate(q, np.array([1.0, 0.0, 0.0])) - target,
                               [rotate(q, np.array([0.0, 0.0, 1.0]))[0]]))

    def jac(values):
        # Left increments: d(R v)/d(theta) = -[R v]x.
        s, q = values[0], values[1:]
        a, c = rotate(q, np.array([1.0, 0.0, 0.0])), rotate(q, np.array([0.0, 0.0, 1.0]))
        j = np.zeros((4, 4))
        j[:3, 0], j[:3, 1:] = a, -s * skew(a)
        j[3, 1:] = -skew(c)[0]
        return j

    state = ondrel.State([1.0, np.cos(0.15), 0.0, 0.0, np.sin(0.15)])
    state.add_quaternion(1)
    view = state.values
    record = ondrel.Broyden(fun, jac, 4, 5, absolute_tolerance=1e-12).solve(state)
    assert record.converged
    np.testing.assert_allclose(view, [2.0, HALF, 0.0, 0.0, HALF], atol=1e-9)
    assert abs(np.linalg.norm(view[1:]) - 1.0) < 1e-14
