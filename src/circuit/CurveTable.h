#pragma once

#include <vector>

namespace omvipccn
{

// Shared by the baked transfer curves: a deviation table (output minus input) on evenly spaced inputs from
// -range to +range, and its running integral over the input.
namespace curvetable
{

// Linear interpolation at table position t (0 is the first entry); the end entries beyond the span (and
// for a NaN position, the first entry).
inline double atPosition(const std::vector<double>& table, double t)
{
    if (!(t > 0.0))
        return table.front();
    const auto last = static_cast<double>(table.size() - 1);
    if (t >= last)
        return table.back();
    const int i = static_cast<int>(t);
    const double* p = table.data() + i;
    return p[0] + (t - i) * (p[1] - p[0]);
}

// The table at input v.
inline double lookup(const std::vector<double>& table, double range, double delta, double v)
{
    return atPosition(table, (v + range) / delta);
}

// The last steps of every bake: remove the offset at 0 in so that silence passes unchanged, smooth with the
// binomial five-tap kernel (1 4 6 4 1)/16 (the two entries at each end keep their values), and integrate
// with the trapezoidal rule.
inline void finish(std::vector<double>& deviation, std::vector<double>& integral, double range, double delta)
{
    const double offset = lookup(deviation, range, delta, 0.0);
    for (double& d : deviation)
        d -= offset;

    const std::vector<double> d = deviation;
    for (std::size_t k = 2; k + 2 < d.size(); ++k)
        deviation[k] = (d[k - 2] + 4.0 * d[k - 1] + 6.0 * d[k] + 4.0 * d[k + 1] + d[k + 2]) * 0.0625;

    integral.assign(deviation.size(), 0.0);
    for (std::size_t k = 1; k < deviation.size(); ++k)
        integral[k] = integral[k - 1] + (deviation[k] + deviation[k - 1]) * 0.5 * delta;
}

} // namespace curvetable
} // namespace omvipccn
