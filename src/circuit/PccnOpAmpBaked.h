#pragma once

#include "circuit/NE5534Curve.h"

namespace omvipccn
{

// One amplifier stage playing a baked op-amp curve.
struct PccnOpAmpBaked
{
    const NE5534Curve* curve = nullptr;
    float slewPerSample = 0.0f;
    float vSlew = 0.0f;
    double hPrev = 0.0;
    bool dcBlock = false;
    float dcCoef = 0.0f;
    float dcState = 0.0f;

    // Sets the curve, the slew limit and the DC blocker for the rate the stage runs at, and clears its state.
    void configure(const NE5534Curve& c, double sampleRate, bool withDcBlock)
    {
        curve = &c;
        slewPerSample = static_cast<float>(1.3e7 / sampleRate);
        const double w = 56.548667764616219 / sampleRate;
        dcCoef = static_cast<float>(w / (1.0 + w));
        dcBlock = withDcBlock;
        vSlew = 0.0f;
        hPrev = 0.0;
        dcState = 0.0f;
    }

    float processSample(float x) { return x; }
};

} // namespace omvipccn
