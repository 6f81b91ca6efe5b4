#include "dsp/TzDynamics.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace omvitz
{

namespace
{

constexpr float kLevelFloorDb = -140.0f;
constexpr float kLevelFloorLinear = 1e-7f;
constexpr float kEnvelopeResetDb = -120.0f;
constexpr double kMinTimeMs = 0.05;
constexpr float kAutoReleaseFromMs = 2900.0f;

// Below this distance an envelope lands on its target. It stops a value that glides towards exactly 0
// (a full-scale level, an open gate) from crawling through the subnormal range; the step is far below the
// float resolution of any reduction the strip turns into a gain.
constexpr float kSnapDb = 1e-9f;

inline float approach(float value, float target, float coef)
{
    const float next = value + coef * (target - value);
    return std::fabs(next - target) < kSnapDb ? target : next;
}

// 1 - exp(-x) for x > 0. The programme attack and the automatic release need it every sample with an x
// that varies; at working rates x stays below 0.03 (a 1 ms time at 33 kHz and up), where four series terms
// are exact to float rounding (relative truncation x^4 / 120 < 7e-9). Larger x takes the library.
inline float oneMinusExpNeg(float x)
{
    if (x < 0.03f)
        return x * (1.0f - x * (0.5f - x * (1.0f / 6.0f - x * (1.0f / 24.0f))));
    return static_cast<float>(-std::expm1(-static_cast<double>(x)));
}

// The compressor's static curve: no reduction up to 3 dB under the threshold, a 6 dB quadratic soft knee
// (over + 3)^2 * slope / 12 around it, over * slope above; continuous at both knee ends. The knee's 1/12
// comes folded into kneeSlope so the per-sample path has no division.
inline float staticCurve(float over, float slope, float kneeSlope)
{
    if (over <= -3.0f)
        return 0.0f;
    if (over < 3.0f)
        return (over + 3.0f) * (over + 3.0f) * kneeSlope + 0.0f;
    return over * slope + 0.0f;
}

float readFinite(float value, float previous)
{
    return std::isfinite(value) ? value : previous;
}

} // namespace

float TzDynamics::smoothingCoefficient(double ms, double perMs)
{
    const double t = std::max(ms, kMinTimeMs) * perMs;
    return static_cast<float>(-std::expm1(-1.0 / t));
}

float TzDynamics::detectorLevelDb(float detector)
{
    const float a = std::fabs(detector);
    // Catches NaN as well as levels below the floor; infinity counts as silence too.
    if (!(a >= kLevelFloorLinear) || a > 3.4028235e38f)
        return kLevelFloorDb;

    // ln(a) = e ln 2 + ln(m) with m in [sqrt(1/2), sqrt(2)), from the float's bits without a branch.
    std::uint32_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    const std::uint32_t shifted = bits - 0x3f3504f3u; // 0x3f3504f3 = sqrt(1/2)
    const int e = static_cast<int>(static_cast<std::int32_t>(shifted) >> 23);
    const std::uint32_t mBits = (shifted & 0x007fffffu) + 0x3f3504f3u;
    float mf;
    std::memcpy(&mf, &mBits, sizeof mf);

    // ln(m) = 2 atanh(s), s = (m - 1) / (m + 1), |s| <= 0.1716; the series to s^11 is exact to ~2e-11.
    const double m = mf;
    const double s = (m - 1.0) / (m + 1.0);
    const double s2 = s * s;
    const double lnM =
        2.0 * s *
        (1.0 + s2 * (1.0 / 3.0 + s2 * (1.0 / 5.0 + s2 * (1.0 / 7.0 + s2 * (1.0 / 9.0 + s2 * (1.0 / 11.0))))));
    constexpr double ln2 = 0.69314718055994530942;
    constexpr double dbPerNeper = 8.6858896380650365530; // 20 / ln 10
    return static_cast<float>((e * ln2 + lnM) * dbPerNeper);
}

float TzDynamics::gainComputerDb(float overDb, float slope)
{
    return staticCurve(overDb, slope, slope / 12.0f);
}

float TzDynamics::dbToGain(float db)
{
    // 10^(dB/20) = 2^x with x = dB * log2(10) / 20; 2^x = 2^i * 2^f with f in [-0.5, 0.5].
    const double x = static_cast<double>(db) * 0.16609640474436811739;
    if (!(x > -126.0))
        return 0.0f; // also NaN: no gain is the safe answer
    if (x > 127.0)
        return 3.4028235e38f;
    // Nearest integer by truncating a positive value (no rounding-mode dependence, no library call).
    const int i = static_cast<int>(x + 128.5) - 128;
    const double f = (x - i) * 0.69314718055994530942; // f ln 2, |.| <= 0.347
    // e^f to f^9 / 9!: truncation below 3e-11 relative.
    const double p =
        1.0 + f * (1.0 + f * (1.0 / 2.0 +
                              f * (1.0 / 6.0 +
                                   f * (1.0 / 24.0 +
                                        f * (1.0 / 120.0 +
                                             f * (1.0 / 720.0 + f * (1.0 / 5040.0 + f * (1.0 / 40320.0 +
                                                                                         f / 362880.0))))))));
    const std::int64_t scaleBits = static_cast<std::int64_t>(i + 1023) << 52;
    double scale;
    std::memcpy(&scale, &scaleBits, sizeof scale);
    return static_cast<float>(p * scale);
}

void TzDynamics::prepare(double rate)
{
    sampleRate = (std::isfinite(rate) && rate > 0.0) ? rate : 48000.0;
    samplesPerMs = 0.001 * sampleRate;
    msPerSample = static_cast<float>(1.0 / samplesPerMs);
    updateCoefficients();

    compFastEnv = kEnvelopeResetDb;
    compEnv = kEnvelopeResetDb;
    compReductionDb = 0.0f;
    gateEnv = kEnvelopeResetDb;
    gateOpen = false;
    gateGainDb = 0.0f;
    gateReductionDb = 0.0f;
}

void TzDynamics::applyParams(const TZParams& p)
{
    compOn = p.compOn;
    compFast = p.compFast;
    compThresholdDb = readFinite(p.compThrDb - 20.0f - (p.compThrPull ? 20.0f : 0.0f), compThresholdDb);
    if (std::isfinite(p.compRatio))
        compRatio = p.compRatio >= 19.5f ? 1000.0f : std::max(p.compRatio, 1.0f);
    compReleaseMs = readFinite(p.compRelMs, compReleaseMs);

    gateMode = std::clamp(p.gateMode, 0, 2);
    gateFast = p.gateFast;
    gateInvert = p.gateInvert;
    gateThresholdDb = readFinite(p.gateThrDb - 20.0f - (p.gateThrPull ? 30.0f : 0.0f), gateThresholdDb);
    gateRangeDb = std::max(readFinite(p.gateRangeDb, gateRangeDb), 0.0f);
    gateReleaseMs = readFinite(p.gateRelMs, gateReleaseMs);
    gateHystDb = std::max(readFinite(p.gateHystDb, gateHystDb), 0.0f);

    stereoLinked = p.linkMode == 1;
    updateCoefficients();
}

void TzDynamics::updateCoefficients()
{
    compSlope = -(1.0f - 1.0f / compRatio);
    kneeSlope = compSlope / 12.0f;
    autoRelease = compReleaseMs >= kAutoReleaseFromMs;

    fastAttackCoef = smoothingCoefficient(0.1, samplesPerMs);
    fastReleaseCoef = smoothingCoefficient(60.0, samplesPerMs);
    attack01Coef = fastAttackCoef;
    attack1Coef = smoothingCoefficient(1.0, samplesPerMs);
    attack7Coef = smoothingCoefficient(7.0, samplesPerMs);
    compReleaseCoef = smoothingCoefficient(compReleaseMs, samplesPerMs);
    gateAttackCoef = smoothingCoefficient(gateFast ? 0.1 : 1.0, samplesPerMs);
    gateDetReleaseCoef = smoothingCoefficient(32.0, samplesPerMs);
    gateReleaseCoef = smoothingCoefficient(gateReleaseMs, samplesPerMs);
}

float TzDynamics::autoReleaseCoefficient() const
{
    // Deeper compression releases more slowly. With v = |reduction| / 12: 60 + 680 v ms below v = 0.5,
    // 400 + 4000 (v - 0.5) ms below v = 1, then 2400 ms; written per dB of reduction.
    const float depth = std::fabs(compReductionDb);
    float ms;
    if (depth < 6.0f)
        ms = 60.0f + (680.0f / 12.0f) * depth;
    else if (depth < 12.0f)
        ms = 400.0f + (4000.0f / 12.0f) * (depth - 6.0f);
    else
        ms = 2400.0f;
    return oneMinusExpNeg(msPerSample / ms);
}

void TzDynamics::runCompressor(float level)
{
    const float m = approach(compFastEnv, level, level > compFastEnv ? fastAttackCoef : fastReleaseCoef);
    compFastEnv = m;

    const float o = compEnv;
    float coef;
    if (level > o)
    {
        if (compFast)
            coef = attack01Coef;
        else
        {
            // The more the fast envelope overshoots the programme envelope, the faster the attack:
            // 7 ms with no overshoot down to 1 ms at 12 dB.
            const float overshoot = m - o;
            if (overshoot <= 0.0f)
                coef = attack7Coef;
            else if (overshoot >= 12.0f)
                coef = attack1Coef;
            else
            {
                coef = oneMinusExpNeg(msPerSample / (7.0f - 0.5f * overshoot));
            }
        }
    }
    else
        coef = autoRelease ? autoReleaseCoefficient() : compReleaseCoef;

    compEnv = approach(o, level, coef);
    compReductionDb = staticCurve(compEnv - compThresholdDb, compSlope, kneeSlope);
}

void TzDynamics::runGate(float level)
{
    gateEnv = approach(gateEnv, level, level > gateEnv ? gateAttackCoef : gateDetReleaseCoef);
    const float u = gateEnv;
    const float openDb = gateThresholdDb;
    const float closeDb = gateThresholdDb - std::max(gateHystDb, 1.0f);
    const float floorDb = -gateRangeDb;
    const bool expander = gateMode == 1;

    float target;
    if (u > openDb)
    {
        gateOpen = true;
        target = gateInvert ? floorDb : 0.0f;
    }
    else if (u < closeDb)
    {
        gateOpen = false;
        if (gateInvert)
            target = 0.0f;
        else
            target = expander ? std::max(u - closeDb, floorDb) : floorDb;
    }
    else if (gateOpen)
        target = gateInvert ? floorDb : 0.0f;
    else
        target = (gateInvert || expander) ? 0.0f : floorDb;

    gateGainDb = approach(gateGainDb, target, target > gateGainDb ? gateAttackCoef : gateReleaseCoef);
    gateReductionDb = gateGainDb;
}

DynamicsGain TzDynamics::process(float detector, const TzDynamics* partner)
{
    const bool gateOn = gateMode != 0;
    if (compOn || gateOn)
    {
        const float level = detectorLevelDb(detector);
        if (compOn)
            runCompressor(level);
        if (gateOn)
            runGate(level);
    }

    float comp = compOn ? compReductionDb : 0.0f;
    float gate = gateOn ? gateReductionDb : 0.0f;
    if (stereoLinked && partner != nullptr && partner != this)
    {
        const float partnerComp = partner->compOn ? partner->compReductionDb : 0.0f;
        const float partnerGate = partner->gateMode != 0 ? partner->gateReductionDb : 0.0f;
        comp = std::min(comp, partnerComp);
        gate = std::min(gate, partnerGate);
    }
    return {comp + gate, comp};
}

} // namespace omvitz
