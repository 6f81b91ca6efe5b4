#include "circuit/VcaCurve.h"

#include "circuit/NE5534Curve.h"
#include "circuit/PccnVca.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <future>
#include <system_error>

namespace omvipccn
{

namespace
{

constexpr int kInitialSettleSteps = 3840;
constexpr int kBreakpointSettleSteps = 4000;

std::atomic<int> vcaBakes{0};

} // namespace

void VcaCurve::bake()
{
    PccnVca stage;
    stage.driveSlope = 0.06;
    stage.build(48000.0);
    stage.dcLevel = 0.0;

    // Let the cell settle at rest and take its resting collector voltage as the output's zero.
    const bool sourceValid =
        stage.sourceIndex >= 0 && stage.sourceIndex < static_cast<int>(stage.circuit.inputs.size());
    if (sourceValid)
        stage.circuit.inputs[static_cast<std::size_t>(stage.sourceIndex)] = 0.0;
    for (int i = 0; i < kInitialSettleSteps; ++i)
        stage.circuit.step();
    stage.dcLevel = stage.circuit.nodeVoltage(stage.outNode);

    delta = range * 2.0 / (tableSize - 1);

    std::vector<double> sums(tableSize);
    std::vector<std::int64_t> counts(tableSize);
    for (int t = 0; t < numPoints; ++t)
    {
        const double gr = gainPoints[static_cast<std::size_t>(t)];
        std::fill(sums.begin(), sums.end(), 0.0);
        std::fill(counts.begin(), counts.end(), 0);

        for (int i = 0; i < kBreakpointSettleSteps; ++i)
            stage.processStage(0.0f, gr);

        const auto sweep = [&](double a, double b, int n)
        {
            for (int i = 0; i < n; ++i)
            {
                const double vin = a + i * (b - a) / n;
                double y = stage.processStage(static_cast<float>(vin), gr);

                const double bin = std::trunc((vin + range) / delta);
                if (!(bin >= 0.0 && bin <= tableSize - 1))
                    continue;
                if (!std::isfinite(y) || std::fabs(y) < 1e-25)
                    y = 0.0;
                else if (std::fabs(y) > static_cast<double>(FLT_MAX))
                    continue;
                const auto k = static_cast<std::size_t>(bin);
                sums[k] += static_cast<double>(static_cast<float>(y));
                counts[k] += 1;
            }
        };
        sweep(0.0, range, 30000);
        sweep(range, -range, 60000);
        sweep(-range, range, 60000);
        sweep(range, 0.0, 30000);

        std::vector<double>& dev = deviation[static_cast<std::size_t>(t)];
        dev.assign(tableSize, 0.0);
        double carried = 0.0;
        for (int k = 0; k < tableSize; ++k)
        {
            if (counts[static_cast<std::size_t>(k)] > 0)
                carried = sums[static_cast<std::size_t>(k)] /
                          static_cast<double>(counts[static_cast<std::size_t>(k)]);
            dev[static_cast<std::size_t>(k)] = carried - (k * delta - range);
        }

        curvetable::finish(dev, integral[static_cast<std::size_t>(t)], range, delta);
    }

    baked = true;
}

const VcaCurve& sharedVcaCurve()
{
    static const VcaCurve curve = []
    {
        VcaCurve c;
        c.bake();
        vcaBakes.fetch_add(1);
        return c;
    }();
    return curve;
}

int sharedVcaBakeCount()
{
    return vcaBakes.load();
}

void bakeSharedCurves()
{
    // Each curve is one sequential simulation; the three run side by side. The local static makes concurrent
    // first callers wait for one bake and turns later calls into a guard check.
    // A bake that throws (allocation failure) rethrows here through its future; if no thread can be started,
    // the calling thread bakes what is left itself.
    static const bool ready = []
    {
        const auto start = [](auto bake)
        {
            try
            {
                return std::async(std::launch::async, bake);
            }
            catch (const std::system_error&)
            {
                return std::async(std::launch::deferred, bake);
            }
        };
        auto vca = start([] { sharedVcaCurve(); });
        auto rail16 = start([] { sharedNE5534Curve(16.0); });
        sharedNE5534Curve(19.0);
        rail16.get();
        vca.get();
        return true;
    }();
    (void)ready;
}

} // namespace omvipccn
