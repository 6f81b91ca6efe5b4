#include "dsp/TzSupply.h"

#include <algorithm>
#include <cmath>

namespace omvitz
{

namespace
{

constexpr double kTwoPi = 6.283185307179586477;
constexpr double kInvTwoPi = 0.15915494309189533577;

constexpr float kPresenceThreshold = 0.0001f; // -80 dBFS
constexpr float kPresenceRise = 0.02f;
constexpr float kPresenceFall = 0.0003f;
// A fading presence lands on 0 here instead of decaying through (and sticking in) the subnormal range.
// The tones it still scaled were below 1e-15, under the float resolution of the noise floor they sit on.
constexpr float kPresenceFloor = 1e-10f;

constexpr double kHumHz = 50.0;
constexpr double kHumLevel = 8e-6;
constexpr double kRippleLevel = 6.4e-6;
constexpr double kNoiseLevel = 3.9e-6;

constexpr float kWanderStep = 1e-5f;
constexpr float kWanderLimit = 0.05f;
constexpr float kHumDriftStep = 5e-5f;
constexpr float kHumDriftLimit = 0.004f;
constexpr float kSagEventChance = 0.001f * 0.0111111f; // per 1 ms tick: one event per 90 s on average
constexpr float kSagDepth = 5e-5f;
constexpr float kSagRecovery = 0.99857244849f; // exp(-0.001 / 0.7): 0.7 s recovery per 1 ms tick
constexpr float kSagFloor = 1e-15f;            // a recovered sag is 0, not a subnormal remainder

// sin(2 pi x) for x in cycles within [0, 2.25): folded onto [-1/4, 1/4] cycle with sin's symmetries, then
// a Taylor series to t^13 on [-pi/2, pi/2] (truncation below 7e-10). The phases of this model all stay
// inside that interval, which keeps the reduction to a few predictable compares.
inline double sinOfPhase(double x)
{
    if (x >= 1.0)
        x -= 1.0;
    if (x >= 0.75)
        x -= 1.0;
    else if (x > 0.25)
        x = 0.5 - x;
    const double t = x * kTwoPi;
    const double t2 = t * t;
    return t * (1.0 -
                t2 * (1.0 / 6.0 -
                      t2 * (1.0 / 120.0 -
                            t2 * (1.0 / 5040.0 - t2 * (1.0 / 362880.0 - t2 * (1.0 / 39916800.0 -
                                                                              t2 * (1.0 / 6227020800.0)))))));
}

} // namespace

float TzSupply::canonical(std::uint32_t word)
{
    const float r = static_cast<float>(word) * 0x1p-32f;
    return r < 1.0f ? r : 0x1.fffffep-1f;
}

float TzSupply::fold(float value, float limit)
{
    if (value > limit)
        return limit - (value - limit) / 2.0f;
    if (value < -limit)
        return -limit + (-limit - value) / 2.0f;
    return value;
}

double TzSupply::sinCycles(double x)
{
    x -= std::floor(x); // [0, 1)
    return sinOfPhase(x);
}

void TzSupply::prepare(double rate)
{
    // Rates below 1 kHz are taken as 1 kHz: every phase then advances by well under a cycle per sample.
    sampleRate = std::isfinite(rate) ? std::max(rate, 1000.0) : 48000.0;

    railNominal = 18.5f;
    railLoadCoef = 0.001f;
    railRippleAmp = 0.00054054055f;
    railCoupling = 0.0005f;
    deviationPerVolt = 0.4 / static_cast<double>(railNominal);
    rippleAngleInc = static_cast<float>(kTwoPi * 100.0 / sampleRate);

    humPhaseInc = kHumHz / sampleRate;
    rectPhaseInc = static_cast<float>(100.0 / sampleRate);
    const double k = 100.0 * 3.14159265358979323846 / sampleRate; // 50 Hz one-pole
    rectLpCoef = static_cast<float>(k / (1.0 + k));
    tickPeriod = static_cast<int>(std::floor(sampleRate / 1000.0));
    if (tickPeriod < 1)
        tickPeriod = 1;

    wanderRng.seed(1u);
    humDriftRng.seed(2u);
    jitterRng.seed(3u);
    sagRng.seed(4u);
    railRng.seed(11u);

    humPhase = 0.0;
    tickCounter = 0;
}

float TzSupply::process(float g)
{
    const float level = std::fabs(g);

    // Presence: fast rise while the channel carries signal, slow fall after it stops.
    const float present = level > kPresenceThreshold ? 1.0f : 0.0f;
    signalPresence += (present - signalPresence) * (present > signalPresence ? kPresenceRise : kPresenceFall);
    if (signalPresence < kPresenceFloor)
        signalPresence = 0.0f;

    // Hum: sin θ + 0.03 sin 3θ + 0.01 sin 5θ, with sin 3θ = 3s - 4s³ and sin 5θ = 5s - 20s³ + 16s⁵,
    // which folds into s (1.14 - 0.32 s² + 0.16 s⁴).
    humPhase += (1.0 + static_cast<double>(humDrift)) * humPhaseInc;
    if (humPhase >= 1.0)
        humPhase -= 1.0;
    const double hs = sinOfPhase(humPhase);
    const double hs2 = hs * hs;
    const double hum = hs * (1.14 - hs2 * (0.32 - 0.16 * hs2));

    // Rail: load sag, full-wave-rectified ripple without its low part, hum pickup and slow drift.
    const double load = (0.5 * static_cast<double>(level) + 0.05) * static_cast<double>(railLoadCoef);
    rectPhase += rectPhaseInc;
    if (rectPhase >= 1.0f)
        rectPhase -= 1.0f;
    const double rp = rectPhase;
    // sin(4 pi p + 0.5) as a phase in cycles: 2p + 0.5 / (2 pi), inside [0, 2.08).
    const double w = 1.4 * std::fabs(sinOfPhase(rp)) - 0.6 + 0.3 * sinOfPhase(2.0 * rp + 0.5 * kInvTwoPi);
    rectLp += rectLpCoef * (static_cast<float>(w) - rectLp);
    // rail - railNominal, formed directly so the small terms keep their precision.
    const double railOffset = static_cast<double>(railNominal) * static_cast<double>(railDrift) - load +
                              static_cast<double>(railRippleAmp) * (w - static_cast<double>(rectLp)) +
                              0.0001 * hum;
    const double deviation = railOffset * deviationPerVolt; // 0.4 (rail - nominal) / nominal

    // Ripple tone.
    rippleAngle += rippleAngleInc;
    if (rippleAngle > kTwoPi)
        rippleAngle = static_cast<float>(static_cast<double>(rippleAngle) - kTwoPi);
    const double ripple = sinOfPhase(static_cast<double>(rippleAngle) * kInvTwoPi);

    // Noise floor: a 32-bit LCG read as a signed value, scaled to [-1, 1).
    outputNoiseSeed = outputNoiseSeed * 1664525u + 1013904223u;
    const std::int64_t signedSeed = outputNoiseSeed >= 0x80000000u
                                        ? static_cast<std::int64_t>(outputNoiseSeed) - 0x100000000LL
                                        : static_cast<std::int64_t>(outputNoiseSeed);
    const double noise = static_cast<double>(signedSeed) * 0x1p-31;

    const double y = (1.0 + deviation) * static_cast<double>(g) +
                     (kHumLevel * hum + kRippleLevel * ripple) * static_cast<double>(signalPresence) +
                     kNoiseLevel * noise;

    // The tick's update acts from the next sample on.
    if (++tickCounter >= tickPeriod)
    {
        tickCounter = 0;
        tick();
    }
    return static_cast<float>(y);
}

void TzSupply::tick()
{
    supplyWander = fold(supplyWander + kWanderStep * (2.0f * draw(wanderRng) - 1.0f), kWanderLimit);
    humDrift = fold(humDrift + kHumDriftStep * (2.0f * draw(humDriftRng) - 1.0f), kHumDriftLimit);

    supplyJitter[supplyJitterIndex] = 2.0f * draw(jitterRng) - 1.0f;
    supplyJitterIndex = (supplyJitterIndex + 1) & 7;
    float jitterSum = 0.0f;
    for (float v : supplyJitter)
        jitterSum += v;
    const float jitter = jitterSum / 8.0f * 0.02f;

    if (supplySag != 0.0f)
    {
        supplySag *= kSagRecovery;
        if (std::fabs(supplySag) < kSagFloor)
            supplySag = 0.0f;
    }
    if (draw(sagRng) < kSagEventChance)
        supplySag = -kSagDepth * (0.5f + 0.5f * draw(sagRng));

    const float common = supplyWander + jitter + supplySag;

    railJitter[railJitterIndex] = 2.0f * draw(railRng) - 1.0f;
    railJitterIndex = (railJitterIndex + 1) & 7;
    float railSum = 0.0f;
    for (float v : railJitter)
        railSum += v;
    railDrift = common * railCoupling + railSum / 8.0f * 0.0003f;
}

} // namespace omvitz
