#pragma once

namespace omvipccn
{

// The microphone input transformer's magnetics. The input voltage is integrated, with a slow leak, into the
// core's magnetising field H; the magnetisation M follows H through a Jiles-Atherton hysteresis model with a
// Langevin anhysteretic curve; the normalised magnetisation lowers the signal's gain slightly and
// asymmetrically as the core nears saturation. Because H integrates the input, low frequencies drive the core
// harder than high ones. All per-sample arithmetic is single precision.
struct PccnIron
{
    double leakHz = 3.0;      // leak corner of the field integrator, Hz
    double driveRate = 96.0;  // field per input unit per second
    float quadAmount = 0.18f; // m^2 gain term; prepare sets the working value 0.1
    float asymAmount = 0.04f; // m|m| gain term
    float Ms = 1.0f;          // saturation magnetisation
    float shapeA = 0.3f;      // Langevin shape a
    float alpha = 0.0016f;    // inter-domain coupling
    float pinK = 0.12f;       // pinning k
    float reversC = 0.45f;    // reversibility c
    float depth = 1.0f;       // overall depth of the gain modulation
    int rateMode = 1;         // 1: one step per host sample (the only mode in use)
    float leakCoef = static_cast<float>(6.28318530717958 * 3.0 / 48000.0);
    float driveCoef = static_cast<float>(96.0 / 48000.0);
    float H = 0.0f;
    float M = 0.0f;
    float Hprev = 0.0f;

    // Sets the integrator coefficients for the rate, the working parameter values and clears the core.
    void prepare(double sampleRate);

    // Demagnetises the core: clears H, M and Hprev.
    void clear()
    {
        H = 0.0f;
        M = 0.0f;
        Hprev = 0.0f;
    }

    // One sample through the transformer. A non-finite input drives the core like silence (the core keeps no
    // non-finite value) and comes out non-finite, for the owner's fallback.
    float step(float x);
};

} // namespace omvipccn
