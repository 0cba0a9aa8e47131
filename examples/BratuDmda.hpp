// The Bratu problem -Δu = λ e^u on the unit cube (or square) with u = 0 on its boundary, on a
// PETSc DMDA: N^3 (or N^2) interior points, the 7-point (5-point) stencil, each equation
// multiplied by h^2,
//
//   F_ijk = 2d u_ijk - (sum of the 2d neighbours, 0 beyond the boundary) - h^2 λ e^(u_ijk)
//
// in d = 3 (or 2) dimensions. The square is a cube one point deep, so one code serves both.
//
// A host as a PETSc user writes one: the residual takes the ghost values through the DMDA's local
// vector, the Jacobian sets the rows this process owns with MatSetValuesStencil, and the matrix
// is the DMDA's own (DMCreateMatrix), preallocated for the stencil.
#pragma once

#include <petscdmda.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace Ondrel::Examples {

// Host code checks its PETSc calls too: an error becomes an exception the solver passes on.
inline void petscCheck(PetscErrorCode code, const char* call) {
  if (code != 0) throw std::runtime_error(std::string("BratuDmda: ") + call + " failed");
}

class BratuDmda {
 public:
  BratuDmda(MPI_Comm comm, PetscInt n, double lambda, int dimension = 3)
      : n(n), depth(dimension == 2 ? 1 : n), diagonal(2.0 * dimension), lambda(lambda) {
    petscCheck(DMDACreate3d(comm,
                            DM_BOUNDARY_NONE,
                            DM_BOUNDARY_NONE,
                            DM_BOUNDARY_NONE,
                            DMDA_STENCIL_STAR,
                            n,
                            n,
                            depth,
                            PETSC_DECIDE,
                            PETSC_DECIDE,
                            PETSC_DECIDE,
                            1,
                            1,
                            nullptr,
                            nullptr,
                            nullptr,
                            &da),
               "DMDACreate3d");
    petscCheck(DMSetUp(da), "DMSetUp");
  }
  BratuDmda(const BratuDmda&) = delete;
  BratuDmda& operator=(const BratuDmda&) = delete;
  ~BratuDmda() { DMDestroy(&da); }

  DM dm() const { return da; }
  PetscInt size() const { return n; }
  double h2() const { return 1.0 / static_cast<double>((n + 1) * (n + 1)); }
  double parameter() const { return lambda; }
  void setParameter(double value) { lambda = value; }

  void residual(Vec x, Vec f) const {
    Vec local = nullptr;
    petscCheck(DMGetLocalVector(da, &local), "DMGetLocalVector");
    petscCheck(DMGlobalToLocalBegin(da, x, INSERT_VALUES, local), "DMGlobalToLocalBegin");
    petscCheck(DMGlobalToLocalEnd(da, x, INSERT_VALUES, local), "DMGlobalToLocalEnd");
    const PetscScalar*** u = nullptr;
    PetscScalar*** out = nullptr;
    petscCheck(DMDAVecGetArrayRead(da, local, &u), "DMDAVecGetArrayRead");
    petscCheck(DMDAVecGetArray(da, f, &out), "DMDAVecGetArray");
    PetscInt x0, y0, z0, mx, my, mz;
    petscCheck(DMDAGetCorners(da, &x0, &y0, &z0, &mx, &my, &mz), "DMDAGetCorners");
    const auto at = [&](PetscInt k, PetscInt j, PetscInt i) {
      const bool inside = i >= 0 && j >= 0 && k >= 0 && i < n && j < n && k < depth;
      return inside ? u[k][j][i] : 0.0;
    };
    for (PetscInt k = z0; k < z0 + mz; ++k) {
      for (PetscInt j = y0; j < y0 + my; ++j) {
        for (PetscInt i = x0; i < x0 + mx; ++i) {
          const double neighbours = at(k, j, i - 1) + at(k, j, i + 1) + at(k, j - 1, i) +
                                    at(k, j + 1, i) + at(k - 1, j, i) + at(k + 1, j, i);
          out[k][j][i] = diagonal * u[k][j][i] - neighbours - h2() * lambda * std::exp(u[k][j][i]);
        }
      }
    }
    petscCheck(DMDAVecRestoreArray(da, f, &out), "DMDAVecRestoreArray");
    petscCheck(DMDAVecRestoreArrayRead(da, local, &u), "DMDAVecRestoreArrayRead");
    petscCheck(DMRestoreLocalVector(da, &local), "DMRestoreLocalVector");
  }

  // The rows this process owns; the solver (or SNES) assembles.
  void jacobian(Vec x, Mat jac) const {
    const PetscScalar*** u = nullptr;
    petscCheck(DMDAVecGetArrayRead(da, x, &u), "DMDAVecGetArrayRead");
    PetscInt x0, y0, z0, mx, my, mz;
    petscCheck(DMDAGetCorners(da, &x0, &y0, &z0, &mx, &my, &mz), "DMDAGetCorners");
    for (PetscInt k = z0; k < z0 + mz; ++k) {
      for (PetscInt j = y0; j < y0 + my; ++j) {
        for (PetscInt i = x0; i < x0 + mx; ++i) {
          MatStencil row{};
          row.k = k;
          row.j = j;
          row.i = i;
          MatStencil columns[7];
          PetscScalar values[7];
          PetscInt count = 0;
          const auto add = [&](PetscInt kk, PetscInt jj, PetscInt ii, double value) {
            if (ii < 0 || jj < 0 || kk < 0 || ii >= n || jj >= n || kk >= depth) return;
            columns[count].k = kk;
            columns[count].j = jj;
            columns[count].i = ii;
            columns[count].c = 0;
            values[count++] = value;
          };
          add(k - 1, j, i, -1.0);
          add(k, j - 1, i, -1.0);
          add(k, j, i - 1, -1.0);
          add(k, j, i, diagonal - h2() * lambda * std::exp(u[k][j][i]));
          add(k, j, i + 1, -1.0);
          add(k, j + 1, i, -1.0);
          add(k + 1, j, i, -1.0);
          petscCheck(MatSetValuesStencil(jac, 1, &row, count, columns, values, INSERT_VALUES),
                     "MatSetValuesStencil");
        }
      }
    }
    petscCheck(DMDAVecRestoreArrayRead(da, x, &u), "DMDAVecRestoreArrayRead");
  }

 private:
  DM da = nullptr;
  PetscInt n;
  PetscInt depth;
  double diagonal;
  double lambda;
};

}  // namespace Ondrel::Examples
