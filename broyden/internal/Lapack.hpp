// The LAPACK routines of the OpenBLAS backend (not installed), declared here rather than
// taken from a LAPACK header so that the build needs OpenBLAS alone. OpenBLAS's LAPACK: 32-bit
// integers (LP64), column-major storage. The benchmark of the machine's floors calls them too.
#pragma once

extern "C" {
// LU factorisation with partial pivoting, in place; pivots are 1-based row interchanges.
void dgetrf_(const int* rows, const int* cols, double* a, const int* lda, int* pivots, int* info);
// The inverse from dgetrf's factors, in place; workSize -1 asks for the best work size.
void dgetri_(const int* n,
             double* a,
             const int* lda,
             const int* pivots,
             double* work,
             const int* workSize,
             int* info);
// Banded LU factorisation with partial pivoting, in place in band storage with kl extra rows on
// top for the fill; pivots are 1-based row interchanges; info > 0 names a zero pivot.
void dgbtrf_(const int* rows,
             const int* cols,
             const int* lower,
             const int* upper,
             double* ab,
             const int* ldab,
             int* pivots,
             int* info);
}
