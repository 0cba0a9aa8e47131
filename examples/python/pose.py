#!/usr/bin/env python3
"""A pose with a quaternion from Python: the static pose of a box hung from four ceiling anchors
by springs, under three loads in turn (2, 3 and 4 kg), as the C++ example rigid_body_springs.

The unknown is an ondrel.State of 7 values: the position p of the centre of mass (3 plain
entries, metres) and the orientation q (a quaternion w, x, y, z, body to world), which moves with
a rotation vector applied on the left, q' = exp(dtheta) q: 6 increment entries for 6 equations,
the net force and the net torque. The solver turns the quaternion instead of adding to it, so it
stays a unit quaternion without renormalising. Each load starts from the previous pose on the
same solver, with its held Jacobian.
"""

import numpy as np

import ondrel

# Anchor (world), attachment (body), stiffness N/m, rest length m: a 0.4 x 0.3 x 0.2 m box hung
# by four points of its top face, all on one side of its centre of mass, from anchors placed
# off-centre with unequal springs, so that it hangs tilted.
SPRINGS = [
    (np.array([0.50, 0.40, 1.0]), np.array([0.20, 0.15, 0.1]), 80.0, 0.3),
    (np.array([-0.40, 0.30, 1.0]), np.array([-0.05, 0.15, 0.1]), 60.0, 0.3),
    (np.array([-0.30, -0.50, 1.0]), np.array([-0.05, -0.15, 0.1]), 100.0, 0.3),
    (np.array([0.60, -0.20, 1.0]), np.array([0.20, -0.15, 0.1]), 70.0, 0.3),
]
GRAVITY = np.array([0.0, 0.0, -9.81])
# Far above what rounding leaves on forces of tens of newtons, far below any real imbalance.
BALANCE_TOLERANCE = 1e-8
# Each solve turns the quaternion by a handful of unit quaternions: a few eps of drift at most.
UNIT_TOLERANCE = 1e-13


def cross_matrix(v):
    return np.array([[0.0, -v[2], v[1]], [v[2], 0.0, -v[0]], [-v[1], v[0], 0.0]])


def rotation(values):
    # Normalised, so that the residual is a function of the rotation alone.
    w, x, y, z = values[3:7] / np.linalg.norm(values[3:7])
    return np.array([
        [1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
        [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
        [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)],
    ])


class Body:
    def __init__(self):
        self.mass = 2.0  # kg, read at every evaluation: load steps change it between solves

    def springs(self, values):
        """Each spring's force on the body and the lever arm it acts at."""
        p, r = values[:3], rotation(values)
        for anchor, attachment, stiffness, rest in SPRINGS:
            lever = r @ attachment
            d = anchor - p - lever
            length = np.linalg.norm(d)
            yield stiffness * (length - rest) / length * d, lever, d, length, stiffness, rest

    def residual(self, values):
        load = np.concatenate((self.mass * GRAVITY, np.zeros(3)))
        for force, lever, *_ in self.springs(values):
            load[:3] += force
            load[3:] += np.cross(lever, force)
        return load

    def jacobian(self, values):
        # K = dF/dd for one spring, and d(lever) = dtheta x lever:
        #   dF/dp = -sum K            dF/dtheta = sum K [c]x
        #   dtau/dp = -sum [c]x K     dtau/dtheta = sum ([F]x [c]x + [c]x K [c]x)
        j = np.zeros((6, 6))
        for force, lever, d, length, stiffness, rest in self.springs(values):
            u = d / length
            ratio = rest / length
            k = stiffness * ((1.0 - ratio) * np.eye(3) + ratio * np.outer(u, u))
            c = cross_matrix(lever)
            j[:3, :3] -= k
            j[:3, 3:] += k @ c
            j[3:, :3] -= c @ k
            j[3:, 3:] += cross_matrix(force) @ c + c @ k @ c
        return j


def main():
    body = Body()
    pose = ondrel.State([0.0, 0.0, 0.4, 1.0, 0.0, 0.0, 0.0])  # level, centred: anyone's guess
    pose.add_quaternion(3)
    # The solver's sizes: increment entries for the system, values for the state.
    solver = ondrel.Broyden(body.residual, body.jacobian, pose.increment_size(), len(pose),
                            absolute_tolerance=1e-10)
    print(f"Rigid body on {len(SPRINGS)} springs: pose (3 positions + quaternion, 6 increments)")
    passed = True
    for mass in (2.0, 3.0, 4.0):
        body.mass = mass
        record = solver.solve(pose)
        p, q = pose.values[:3], pose.values[3:]
        imbalance = np.linalg.norm(body.residual(pose.values))
        unit_error = abs(np.linalg.norm(q) - 1.0)
        # A minimum of the energy: minus the Jacobian, the energy's Hessian, positive definite.
        hessian = -0.5 * (body.jacobian(pose.values) + body.jacobian(pose.values).T)
        stable = bool(np.all(np.linalg.eigvalsh(hessian) > 0.0))
        tilt = np.degrees(np.arccos(np.clip(rotation(pose.values)[2, 2], -1.0, 1.0)))
        turn = ondrel.Quaternion(q)
        print(f"  mass {mass:.1f} kg: {'converged' if record.converged else record.message} "
              f"it {record.iterations} nJ {record.jacobian_evaluations}  p = {np.round(p, 4)}  "
              f"q = {np.round(turn.unknowns(), 4)}  tilt {tilt:.2f} deg  |F| {imbalance:.1e}  "
              f"stable {stable}")
        passed = passed and record.converged and stable
        passed = passed and imbalance <= BALANCE_TOLERANCE and unit_error <= UNIT_TOLERANCE
    # The same turn by hand: a tenth of a radian about z, applied on the left of the last pose.
    turned = ondrel.add_increment(pose, np.array([0, 0, 0, 0, 0, 0.1]))
    about_z = ondrel.Quaternion(ondrel.RotationVector(np.array([0.0, 0.0, 0.1])).as_quaternion())
    expected = (about_z * ondrel.Quaternion(pose.values[3:])).unknowns()
    print(f"  add_increment turns q by exp(0.1 z) on the left: "
          f"{np.allclose(turned.values[3:], expected, rtol=0.0, atol=1e-15)}")
    print(f"check {'passed' if passed else 'FAILED'}")
    return 0 if passed else 1


if __name__ == "__main__":
    raise SystemExit(main())
