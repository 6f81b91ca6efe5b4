#include "circuit/BandedSolver.h"

#include <utility>

namespace pccn
{

namespace
{

// Bandwidths up to this one get a solver of their own.
constexpr int largestFixedBandwidth = 12;

template<int BW> bool solveFixed(double* v, double* y, int m, int /*bw*/)
{
    return band_detail::solve(v, y, m, std::integral_constant<int, BW>{});
}

bool solveAny(double* v, double* y, int m, int bw)
{
    return band_detail::solve(v, y, m, bw);
}

template<int... W> constexpr BandSolver fixedSolver(int bw, std::integer_sequence<int, W...>)
{
    constexpr BandSolver table[] = {solveFixed<W + 1>...};
    return bw >= 1 && bw <= static_cast<int>(sizeof...(W)) ? table[bw - 1] : &solveAny;
}

} // namespace

BandSolver bandSolverFor(int bw)
{
    return fixedSolver(bw, std::make_integer_sequence<int, largestFixedBandwidth>{});
}

} // namespace pccn
