#pragma once

#include <cstdint>
#include <random>

namespace omvitz
{

// The output stage's supply rail modulation, mains hum, ripple tone and noise floor.
//
// The audio is modulated by a model of the +18.5 V rail (sag with load, rectifier ripple, slow random
// drift); a 50 Hz hum with 3rd and 5th harmonics and a 100 Hz ripple tone are added while signal is
// present, and a white noise floor (about -108 dBFS peak) is always there. The random parts are updated
// once per millisecond tick from five fixed-seed Mersenne Twisters, so two models prepared together
// produce identical output.
class TzSupply
{
public:
    // Sets the rate-dependent constants, re-seeds the five random sources and resets humPhase and
    // tickCounter. Everything else (presence, drifts, phases, jitter slots, sag, noise seed) carries over.
    // Rates below 1 kHz are taken as 1 kHz.
    void prepare(double sampleRate);

    // One sample: g in, y out. A non-finite g may give a non-finite y for that sample; no state keeps it.
    float process(float g);

    // One 32-bit generator output to a float in [0, 1): the output converted to float (round to nearest)
    // times 2^-32, with results that round up to 1 pulled down to the largest float below 1. This is
    // what std::generate_canonical<float, 32> computes from a single 32-bit draw.
    static float canonical(std::uint32_t word);

    // Reflects a value that left [-limit, limit] back inside at half its excess.
    static float fold(float value, float limit);

    // sin(2 pi x) for x in cycles, to about 1e-9 absolute.
    static double sinCycles(double x);

    float signalPresence = 0.0f;
    double humPhase = 0.0; // cycles
    float humDrift = 0.0f; // relative hum frequency drift, within +-0.004
    float railNominal = 18.5f;
    float railLoadCoef = 0.001f;
    float railRippleAmp = 0.00054054055f;
    float railCoupling = 0.0005f;
    float rectPhase = 0.0f; // cycles, advancing at 100 Hz
    float rectLp = 0.0f;
    float railDrift = 0.0f;
    float railJitter[8] = {};
    float supplyWander = 0.0f; // within +-0.05
    float supplyJitter[8] = {};
    float supplySag = 0.0f;
    float rippleAngle = 0.0f; // radians
    float rippleAngleInc = 0.013089969f;
    std::uint32_t outputNoiseSeed = 909091u;
    int tickCounter = 0;
    int tickPeriod = 48; // floor(0.001 * sampleRate) samples

    // Oldest slot of each jitter ring (carried over by prepare like the slots themselves).
    int supplyJitterIndex = 0;
    int railJitterIndex = 0;

    std::mt19937 wanderRng{1u};
    std::mt19937 humDriftRng{2u};
    std::mt19937 jitterRng{3u};
    std::mt19937 sagRng{4u};
    std::mt19937 railRng{11u};

    double sampleRate = 48000.0;

private:
    void tick();
    static float draw(std::mt19937& rng) { return canonical(static_cast<std::uint32_t>(rng())); }

    double humPhaseInc = 50.0 / 48000.0;
    double deviationPerVolt = 0.4 / 18.5;
    float rectPhaseInc = static_cast<float>(100.0 / 48000.0);
    float rectLpCoef = 0.0065024f; // k / (1 + k), k = 100 pi / sampleRate
};

} // namespace omvitz
