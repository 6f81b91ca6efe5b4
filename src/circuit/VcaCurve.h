#pragma once

#include "circuit/CurveTable.h"
#include <array>

#include <vector>

namespace omvipccn
{

// Family of VCA gain-cell transfer curves, one per gain-reduction breakpoint, each stored as output minus
// input (in digital full-scale units) on 8192 evenly spaced inputs, plus its running trapezoidal integral
// over the input for first-order antiderivative anti-aliasing. The cell is a bipolar differential pair driven
// harder as the gain reduction grows, so its curvature grows with the reduction while its small-signal gain
// stays put.
struct VcaCurve
{
    static constexpr int numPoints = 6;
    static constexpr int tableSize = 8192;

    double range = 8.0; // half-span of every table, full-scale units
    double delta = 0.0; // input spacing, 2 * range / 8191
    std::array<double, numPoints> gainPoints{0.0, 5.0, 10.0, 15.0, 20.0, 24.0}; // dB of gain reduction
    std::array<std::vector<double>, numPoints> deviation;
    std::array<std::vector<double>, numPoints> integral;
    bool baked = false;

    // Simulates the gain cell at every breakpoint and fills all twelve tables (about 1.1 million simulator
    // steps).
    void bake();

    // Linear interpolation in a table at input v; the end entries beyond the span (and for a NaN input, the
    // first entry).
    double lk(const std::vector<double>& table, double v) const
    {
        return curvetable::lookup(table, range, delta, v);
    }
};

// The process-wide curve family, baked on first use under thread-safe one-time initialisation and read-only
// afterwards.
const VcaCurve& sharedVcaCurve();

// How many times the shared family has been baked in this process (0 before first use, then 1).
int sharedVcaBakeCount();

// Bakes the three process-wide curves (op-amp at 19 V and 16 V, VCA family) on concurrent threads, each
// curve's own simulation sequential, and returns when all three are ready. Concurrent callers wait for the
// same bake; once done, later calls return at once. The tables are the same as those of sequential first use.
void bakeSharedCurves();

} // namespace omvipccn
