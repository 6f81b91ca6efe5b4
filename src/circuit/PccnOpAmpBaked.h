#pragma once

#include "circuit/NE5534Curve.h"

namespace omvipccn
{

// One amplifier stage playing a baked NE5534 follower curve: slew-rate limit, clamp to the table span,
// first-order antiderivative anti-aliasing through the integral table, optional 9 Hz output DC blocker.
// Digital full scale 1.0 stands for 3.472 V.
struct PccnOpAmpBaked
{
    const NE5534Curve* curve = nullptr; // shared, not owned
    float slewPerSample = 0.0f;         // volts per sample
    float vSlew = 0.0f;                 // slew-limited input voltage
    double hPrev = 0.0;                 // previous clamped voltage
    bool dcBlock = false;
    float dcCoef = 0.0f;
    float dcState = 0.0f;

    // Sets the curve, the slew limit (13 V/us) and the DC blocker for the rate the stage runs at, and clears
    // its state.
    void configure(const NE5534Curve& c, double sampleRate, bool withDcBlock);

    // One sample through the amplifier. A non-finite input is played as 0 V (output and state alike), so no
    // NaN or infinity ever sticks in vSlew, hPrev or dcState. Without a baked curve the stage passes its
    // input through.
    float processSample(float x);
};

} // namespace omvipccn
