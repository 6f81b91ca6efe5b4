#include "circuit/PccnOpAmpBaked.h"

#include <cmath>

namespace omvipccn
{

namespace
{
constexpr double kVoltsPerUnit = 3.472;
constexpr double kUnitsPerVolt = 0.28801843317972353; // 1 / 3.472
constexpr double kAdaaThreshold = 1e-4; // volts; below it the midpoint rule replaces the ADAA quotient
constexpr float kFlushBelow = 1e-25f;
} // namespace

void PccnOpAmpBaked::configure(const NE5534Curve& c, double sampleRate, bool withDcBlock)
{
    curve = &c;
    slewPerSample = static_cast<float>(1.3e7 / sampleRate);
    const double w = 56.548667764616219 / sampleRate; // 2 pi * 9 Hz / fs
    dcCoef = static_cast<float>(w / (1.0 + w));
    dcBlock = withDcBlock;
    vSlew = 0.0f;
    hPrev = 0.0;
    dcState = 0.0f;
}

float PccnOpAmpBaked::processSample(float x)
{
    if (curve == nullptr || !curve->baked)
        return x;
    const NE5534Curve& c = *curve;

    // A NaN or infinite sample is played as 0 V, so it can leave nothing non-finite in the state.
    double v = std::isfinite(x) ? kVoltsPerUnit * static_cast<double>(x) : 0.0;

    // Slew-rate limit on the internal voltage.
    const double limit = slewPerSample;
    double step = v - static_cast<double>(vSlew);
    step = step > limit ? limit : (step < -limit ? -limit : step);
    v = static_cast<double>(vSlew) + step;
    vSlew = static_cast<float>(v);

    // Clamp to the table span.
    const double h = v > c.range ? c.range : (v < -c.range ? -c.range : v);

    // First-order antiderivative anti-aliasing: the mean of the deviation over [hPrev, h].
    const double dh = h - hPrev;
    const double dev = std::fabs(dh) > kAdaaThreshold ? (c.lk(c.integral, h) - c.lk(c.integral, hPrev)) / dh
                                                      : c.lk(c.deviation, 0.5 * (h + hPrev));
    hPrev = h;

    float y = static_cast<float>((h + dev) * kUnitsPerVolt);
    if (!std::isfinite(y))
        y = 0.0f;

    if (dcBlock)
    {
        dcState += (y - dcState) * dcCoef;
        y -= dcState;
    }
    if (std::fabs(y) < kFlushBelow)
        y = 0.0f;
    return y;
}

} // namespace omvipccn
