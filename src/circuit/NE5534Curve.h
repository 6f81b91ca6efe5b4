#pragma once

#include <vector>

namespace omvipccn
{

// Static transfer curve of an NE5534 follower, stored as output minus input plus its running integral.
struct NE5534Curve
{
    double range = 24.0;
    double delta = 0.0;
    std::vector<double> deviation;
    std::vector<double> integral;
    bool baked = false;
};

// The process-wide curve for a supply rail (19 V or 16 V), baked on first use.
inline const NE5534Curve& sharedNE5534Curve(double rail)
{
    static const NE5534Curve rail19;
    static const NE5534Curve rail16;
    return rail > 17.5 ? rail19 : rail16;
}

} // namespace omvipccn
