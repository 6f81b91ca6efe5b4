#pragma once

#include "circuit/CurveTable.h"

#include <vector>

namespace pccn
{
class Circuit;
}

namespace omvipccn
{

// Static transfer curve of an NE5534 unity-gain follower on a given supply rail, obtained by sweeping the
// transistor-level circuit slowly over +-range volts. Stored as output minus input (the deviation) on 8192
// evenly spaced input voltages, plus the running trapezoidal integral of that deviation for first-order
// antiderivative anti-aliasing.
struct NE5534Curve
{
    static constexpr int tableSize = 8192;

    double range = 24.0; // half-span of the tables, volts
    double delta = 0.0;  // input spacing of the entries, 2 * range / 8191
    std::vector<double> deviation;
    std::vector<double> integral;
    bool baked = false;

    // Simulates the follower on +-rail volts and fills both tables (about 365 000 simulator steps).
    void bake(double rail);

    // Linear interpolation in one of the tables at input voltage v; the end entries beyond the span (and for
    // a NaN input, the first entry).
    double lk(const std::vector<double>& table, double v) const
    {
        return curvetable::lookup(table, range, delta, v);
    }
};

// Adds the follower's nodes and components (9 nodes, 3 branches) to an empty circuit; "Vsig" is its input.
void buildNE5534Follower(pccn::Circuit& c, double rail);

// The process-wide curve for a supply rail, baked on first use under thread-safe one-time initialisation and
// read-only afterwards. Rails above 17.5 V get the 19 V curve, the others the 16 V curve.
const NE5534Curve& sharedNE5534Curve(double rail);

// How many times the shared curve for that rail has been baked in this process (0 before first use, then 1).
int sharedNE5534BakeCount(double rail);

} // namespace omvipccn
