#pragma once

#include <array>
#include <vector>

namespace omvipccn
{

// Family of VCA gain-cell transfer curves, one per gain-reduction breakpoint, each stored as output minus
// input plus its running integral over the input.
struct VcaCurve
{
    static constexpr int numPoints = 6;
    static constexpr int tableSize = 8192;

    double range = 8.0;
    double delta = 0.0;
    std::array<double, numPoints> gainPoints{0.0, 5.0, 10.0, 15.0, 20.0, 24.0};
    std::array<std::vector<double>, numPoints> deviation;
    std::array<std::vector<double>, numPoints> integral;
    bool baked = false;

    double lk(const std::vector<double>& table, double v) const
    {
        const double t = (v + range) / delta;
        if (t <= 0.0)
            return table.front();
        if (t >= tableSize - 1)
            return table.back();
        const int i = static_cast<int>(t);
        return table[i] + (t - i) * (table[i + 1] - table[i]);
    }
};

inline const VcaCurve& sharedVcaCurve()
{
    static const VcaCurve curve = [] {
        VcaCurve c;
        c.delta = c.range * 2.0 / (VcaCurve::tableSize - 1);
        for (int t = 0; t < VcaCurve::numPoints; ++t)
        {
            c.deviation[t].assign(VcaCurve::tableSize, 0.0);
            c.integral[t].assign(VcaCurve::tableSize, 0.0);
        }
        return c;
    }();
    return curve;
}

} // namespace omvipccn
