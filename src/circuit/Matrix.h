#pragma once

#include <cstddef>
#include <vector>

namespace pccn
{

// A dense vector of doubles: node voltages, branch currents and right-hand sides.
using Vector = std::vector<double>;

// A dense, row-major matrix. Element (r, c) lives at data[r * cols + c]; cols is also the row stride.
struct Matrix
{
    int rows = 0;
    int cols = 0;
    std::vector<double> data;

    Matrix() = default;
    Matrix(int r, int c) { resize(r, c); }

    // Resizes to r x c (negative sizes count as 0) and sets every element to zero.
    void resize(int r, int c)
    {
        rows = r > 0 ? r : 0;
        cols = c > 0 ? c : 0;
        data.assign(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols), 0.0);
    }

    void setZero() { data.assign(data.size(), 0.0); }

    // True when (r, c) lies inside the matrix and inside its storage.
    bool contains(int r, int c) const
    {
        return r >= 0 && c >= 0 && r < rows && c < cols &&
               static_cast<std::size_t>(r) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(c) <
                   data.size();
    }

    double& operator()(int r, int c) { return data[static_cast<std::size_t>(r) * cols + c]; }
    double operator()(int r, int c) const { return data[static_cast<std::size_t>(r) * cols + c]; }
};

// LU factorisation in place with partial pivoting. On return L (unit diagonal, strictly below) and U (on and
// above the diagonal) share A, and perm[r] is the original row that ended up in row r. For column k the
// pivot is the first row p >= k of largest |A[p][k]|; when that magnitude is below 1e-30 the function stops
// and returns false, leaving A partly factored. A matrix that is not square (or whose storage does not match
// its size) is left untouched and returns false; perm is always reset to the identity of size A.rows first.
bool lu_decompose(Matrix& A, std::vector<int>& perm);

// Solves A y = v with the factors and permutation left by lu_decompose: w[r] = v[perm[r]], then forward
// substitution with L and back substitution with U. y may alias v. Sizes that do not match A leave y
// unchanged.
void lu_solve(const Matrix& LU, const std::vector<int>& perm, const Vector& v, Vector& y);

// Reverse Cuthill-McKee ordering of a square 0/1 pattern. Entry j of the result is the index placed at
// position j. Neighbours of r are the c != r with |pattern[r][c]| > 1e-30; each breadth-first search starts
// at the unvisited index of smallest degree (lowest index on ties) and queues unvisited neighbours by
// ascending degree (ascending index on ties); the complete order is reversed at the end.
std::vector<int> reverse_cuthill_mckee(const Matrix& pattern);

} // namespace pccn
