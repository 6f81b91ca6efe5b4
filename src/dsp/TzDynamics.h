#pragma once

#include "processor/TZParams.h"

namespace omvitz
{

// Reductions a strip applies for one sample: the total (compressor plus gate) and the compressor's share,
// which drives the automatic make-up. Both in dB, never above 0.
struct DynamicsGain
{
    float totalDb = 0.0f;
    float compDb = 0.0f;
};

// Compressor and gate/expander sharing one detector input.
//
// Levels are dBFS of the detector sample. Every envelope is a one-pole smoother that moves by
// 1 - exp(-1 / (t * samplesPerMs)) of the remaining distance per sample, with t raised to at least 0.05 ms.
// The settings are public so that the partner strip and tests can read them; write them through
// applyParams(), which also refreshes the smoothing coefficients derived from them.
class TzDynamics
{
public:
    // Stores the rate, refreshes the coefficients and resets the running state (envelopes at -120 dB,
    // reductions 0, gate closed). Settings are kept.
    void prepare(double sampleRate);

    // Converts the block's record into settings and coefficients. Never touches the running state.
    void applyParams(const TZParams& p);

    // One detector sample in; the partner is the other strip's section when the pair is linked, else null.
    // A non-finite detector sample counts as silence.
    DynamicsGain process(float detector, const TzDynamics* partner);

    // 20 * log10(max(|d|, 1e-7)): the detector level in dB, floored at -140. Non-finite input gives -140.
    static float detectorLevelDb(float detector);

    // Static curve: over = envelope - threshold (dB), slope = -(1 - 1/ratio). 6 dB quadratic soft knee.
    static float gainComputerDb(float overDb, float slope);

    // 1 - exp(-1 / (max(ms, 0.05) * samplesPerMs)): the per-sample smoothing fraction for a time constant.
    static float smoothingCoefficient(double ms, double samplesPerMs);

    // 10^(dB / 20) for dB <= 0, accurate to float rounding; results below the smallest normal float are 0.
    static float dbToGain(float db);

    // Settings (from applyParams).
    bool compOn = false;
    bool compFast = false;
    float compThresholdDb = 0.0f;
    float compRatio = 4.0f;
    float compReleaseMs = 300.0f; // 2900 or more selects the automatic release
    int gateMode = 0;             // 0 off, 1 expander, 2 gate
    bool gateFast = false;
    bool gateInvert = false;
    float gateThresholdDb = -30.0f;
    float gateRangeDb = 40.0f;
    float gateReleaseMs = 300.0f;
    float gateHystDb = 2.0f;
    bool stereoLinked = false;

    // Running state (reset by prepare).
    float compFastEnv = -120.0f;
    float compEnv = -120.0f;
    float compReductionDb = 0.0f;
    float gateEnv = -120.0f;
    bool gateOpen = false;
    float gateGainDb = 0.0f;
    float gateReductionDb = 0.0f;

    double sampleRate = 48000.0;

private:
    void updateCoefficients();
    void runCompressor(float levelDb);
    void runGate(float levelDb);
    float autoReleaseCoefficient() const;

    double samplesPerMs = 48.0;
    float msPerSample = 1.0f / 48.0f;
    float compSlope = -0.75f;
    float kneeSlope = -0.0625f; // compSlope / 12
    bool autoRelease = false;

    // Fixed coefficients, refreshed by prepare and applyParams.
    float fastAttackCoef = 0.0f;     // fast envelope rise, 0.1 ms
    float fastReleaseCoef = 0.0f;    // fast envelope fall, 60 ms
    float attack01Coef = 0.0f;       // programme attack with the fast switch, 0.1 ms
    float attack1Coef = 0.0f;        // programme attack at 12 dB overshoot or more, 1 ms
    float attack7Coef = 0.0f;        // programme attack without overshoot, 7 ms
    float compReleaseCoef = 0.0f;    // fixed programme release
    float gateAttackCoef = 0.0f;     // 0.1 or 1 ms
    float gateDetReleaseCoef = 0.0f; // gate detector fall, 32 ms
    float gateReleaseCoef = 0.0f;    // gate gain closing
};

} // namespace omvitz
