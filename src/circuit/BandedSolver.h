#pragma once

#include <cmath>
#include <type_traits>

namespace pccn
{

// Structural-zero and pivot threshold of the simulator's solvers.
inline constexpr double tinyMagnitude = 1e-30;

// Banded LU without pivoting and the two triangular solves, on rows stored compactly: entry (r, c) with
// |r - c| <= bw lives at r * (2 bw + 1) + (c - r + bw). Entries outside [0, m) x [0, m) are never read.
//
// The operations and their order are those of the plain algorithm on the full matrix: for pivot k (aborting
// when |pivot| < 1e-30), every row r in k+1 .. min(m, k+bw+1)-1 whose entry (r, k) is not below 1e-30 is
// divided by the pivot and updated over the same column range; forward substitution subtracts L[r][c] y[c]
// for ascending c, back substitution U[r][c] y[c] for ascending c, then divides by the diagonal. The
// forward substitution is carried along with the elimination: when pivot k is done, y[k] is final and
// (r, k) is never touched again, so each y[r] sees the same subtractions in the same order.
namespace band_detail
{

// Pivot k with its n rows below; p points at the pivot, entry (k + i, k + j) is p[i * 2 bw + j] and y
// points at y[k]. A column whose pivot-row entry is exactly zero is passed over: subtracting the product of
// a finite multiplier and zero leaves a finite entry as it is. Passing it over, like a zero term in the
// substitutions, also keeps it off the chain of dependent operations that bounds the solve's speed.
template<class Count, class Width> void eliminatePivot(double* p, double* y, Count n, Width bw)
{
    const double pivot = p[0];
    for (int i = 1; i <= n; ++i)
    {
        double* row = p + i * 2 * bw;
        if (!(std::abs(row[0]) < tinyMagnitude))
        {
            row[0] /= pivot;
            for (int j = 1; j <= n; ++j)
                if (p[j] != 0.0)
                    row[j] -= row[0] * p[j];
        }
        if (row[0] != 0.0)
            y[i] -= row[0] * y[0];
    }
}

// Row r with its n entries right of the diagonal at d[1 .. n]; y points at y[r]. Zero terms are passed
// over.
template<class Count> void backSubstituteRow(const double* d, double* y, Count n)
{
    double s = y[0];
    for (int j = 1; j <= n; ++j)
        if (d[j] != 0.0)
            s -= d[j] * y[j];
    y[0] = s / d[0];
}

// Width is int for a bandwidth known at run time or std::integral_constant for one fixed at compile time;
// the latter turns the loops of all but the last bw pivots and rows into straight-line code.
template<class Width> bool solve(double* v, double* y, int m, Width bw)
{
    const int stride = 2 * bw + 1;
    const int full = m > bw ? m - bw : 0; // pivots and rows with all bw neighbours inside the matrix
    for (int k = 0; k < m; ++k)
    {
        double* p = v + k * stride + bw;
        if (std::abs(p[0]) < tinyMagnitude)
            return false;
        if (k < full)
            eliminatePivot(p, y + k, bw, bw);
        else
            eliminatePivot(p, y + k, m - 1 - k, bw);
    }
    for (int r = m - 1; r >= 0; --r)
    {
        const double* d = v + r * stride + bw;
        if (r < full)
            backSubstituteRow(d, y + r, bw);
        else
            backSubstituteRow(d, y + r, m - 1 - r);
    }
    return true;
}

} // namespace band_detail

// Solves in place: v holds the m rows of the band matrix (as above) and is left holding the factors, y holds
// the right-hand side and is left holding the solution. Returns false, with v and y partly processed, when
// a pivot is below 1e-30.
using BandSolver = bool (*)(double* v, double* y, int m, int bw);

// The solver for bandwidth bw: straight-line code for small bandwidths, loops for the others.
BandSolver bandSolverFor(int bw);

} // namespace pccn
