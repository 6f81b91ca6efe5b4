#pragma once

#include "circuit/NE5534Curve.h"

#include <cmath>

namespace omvipccn
{

// One amplifier stage playing a baked NE5534 follower curve: slew-rate limit, clamp to the table span,
// first-order antiderivative anti-aliasing through the integral table, optional 9 Hz output DC blocker.
// Digital full scale 1.0 stands for 3.472 V.
struct PccnOpAmpBaked
{
    static constexpr double voltsPerUnit = 3.472;
    static constexpr double unitsPerVolt = 0.28801843317972353; // 1 / 3.472
    static constexpr double adaaThreshold = 1e-4; // volts; below it the midpoint rule replaces the quotient
    static constexpr float flushBelow = 1e-25f;

    const NE5534Curve* curve = nullptr; // shared, not owned
    float slewPerSample = 0.0f;         // volts per sample
    float vSlew = 0.0f;                 // slew-limited input voltage
    double hPrev = 0.0;                 // previous clamped voltage
    bool dcBlock = false;
    float dcCoef = 0.0f;
    float dcState = 0.0f;
    // The integral table at hPrev, kept from the sample that read it so that the anti-aliasing quotient
    // needs one table read per sample; valid only while iPrevKnown.
    double iPrev = 0.0;
    bool iPrevKnown = false;
    // Table positions per volt of the curve being played, 1 / delta; 0 until the first sample finds the curve
    // baked.
    double perDelta = 0.0;

    // Sets the curve, the slew limit (13 V/us) and the DC blocker for the rate the stage runs at, and clears
    // its state.
    void configure(const NE5534Curve& c, double sampleRate, bool withDcBlock);

    // One sample through the amplifier. A non-finite input is played as 0 V (output and state alike), so no
    // NaN or infinity ever sticks in vSlew, hPrev or dcState. Without a baked curve the stage passes its
    // input through.
    float processSample(float x)
    {
        if (!(perDelta > 0.0) && !bindCurve())
            return x;
        const NE5534Curve& c = *curve;

        // A NaN or infinite sample is played as 0 V, so it can leave nothing non-finite in the state.
        const double target = std::isfinite(x) ? voltsPerUnit * static_cast<double>(x) : 0.0;

        // Slew-rate limit on the internal voltage: within the limit it follows the input.
        const double limit = slewPerSample;
        const double from = vSlew;
        double v = target;
        if (target - from > limit)
            v = from + limit;
        else if (target - from < -limit)
            v = from - limit;
        vSlew = static_cast<float>(v);

        // Clamp to the table span.
        const double h = v > c.range ? c.range : (v < -c.range ? -c.range : v);

        // First-order antiderivative anti-aliasing: the mean of the deviation over [hPrev, h]. The output in
        // full-scale units is (h + deviation) / 3.472.
        const double dh = h - hPrev;
        double out;
        if (std::fabs(dh) > adaaThreshold)
        {
            // The quotient's scale is worked out while the table is read, not after it.
            const double scale = unitsPerVolt / dh;
            const double iNow = integralAt(c, h);
            const double iThen = iPrevKnown ? iPrev : integralAt(c, hPrev);
            out = h * unitsPerVolt + (iNow - iThen) * scale;
            iPrev = iNow;
            iPrevKnown = true;
        }
        else
        {
            out = (h + c.lk(c.deviation, 0.5 * (h + hPrev))) * unitsPerVolt;
            iPrevKnown = false;
        }
        hPrev = h;

        float y = static_cast<float>(out);
        if (!std::isfinite(y))
            y = 0.0f;

        if (dcBlock)
        {
            dcState += (y - dcState) * dcCoef;
            y -= dcState;
        }
        if (std::fabs(y) < flushBelow)
            y = 0.0f;
        return y;
    }

private:
    // Takes up the curve once it is baked (sets perDelta); false while there is none to play.
    bool bindCurve();

    // The integral table at v, its position found by a multiplication rather than a division by the spacing.
    double integralAt(const NE5534Curve& c, double v) const
    {
        return curvetable::atPosition(c.integral, (v + c.range) * perDelta);
    }
};

} // namespace omvipccn
