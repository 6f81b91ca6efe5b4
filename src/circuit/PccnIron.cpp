#include "circuit/PccnIron.h"

#include <algorithm>
#include <cmath>

namespace omvipccn
{

void PccnIron::prepare(double sampleRate)
{
    leakHz = 3.0;
    driveRate = 96.0;
    quadAmount = 0.1f;
    asymAmount = 0.04f;
    Ms = 1.0f;
    shapeA = 0.3f;
    alpha = 0.0016f;
    pinK = 0.12f;
    reversC = 0.45f;
    depth = 1.0f;
    rateMode = 1;
    leakCoef = static_cast<float>(6.28318530717958 * leakHz / sampleRate);
    driveCoef = static_cast<float>(driveRate / sampleRate);
    clear();
}

float PccnIron::step(float x)
{
    // The core only ever sees finite drive: a NaN or infinite sample magnetises it like silence.
    const float drive = std::isfinite(x) ? x : 0.0f;

    // Field integrator with leak.
    H = H + driveCoef * drive - leakCoef * H;

    // Effective field and Langevin argument.
    const float he = H + alpha * M;
    const float l = he / shapeA;
    const float dir = (H - Hprev >= 0.0f) ? 1.0f : -1.0f;

    // Anhysteretic magnetisation L(l) = coth l - 1/l and its slope over He, (1 - coth^2 l)/a + a/He^2.
    // Near the origin both closed forms subtract two terms of order 1/l (1/l^2 for the slope) that cancel to
    // O(l) (O(1)); in single precision that leaves rounding noise larger than the result itself for
    // |l| < ~0.01, so that region uses the Taylor series L(l) = l/3 - l^3/45 + 2 l^5/945 and
    // L'(l) = 1/3 - l^2/15 + 2 l^4/189 instead (truncation error below 1e-9 at |l| = 0.1, where the two forms
    // agree to float rounding).
    float man;
    float dMan;
    const float absL = std::fabs(l);
    if (absL < 1e-6f)
    {
        man = Ms * l / 3.0f;
        dMan = Ms / (3.0f * shapeA);
    }
    else if (absL < 0.1f)
    {
        const float l2 = l * l;
        man = Ms * l * (1.0f / 3.0f - l2 * (1.0f / 45.0f - l2 * (2.0f / 945.0f)));
        dMan = Ms / shapeA * (1.0f / 3.0f - l2 * (1.0f / 15.0f - l2 * (2.0f / 189.0f)));
    }
    else
    {
        const float coth = 1.0f / std::tanh(l);
        man = Ms * (coth - 1.0f / l);
        dMan = (1.0f - coth * coth) * Ms / shapeA + shapeA * Ms / (he * he);
    }

    // Pinning and coupling denominators, kept away from zero.
    float d = dir * pinK - alpha * (man - M);
    if (std::fabs(d) < 0.01f * pinK)
        d = (d >= 0.0f) ? 0.01f * pinK : -0.01f * pinK;
    float a = 1.0f - alpha * reversC * dMan;
    if (std::fabs(a) < 1e-6f)
        a = (a >= 0.0f) ? 1e-6f : -1e-6f;

    // Differential susceptibility; the magnetisation only moves with the field, never against it.
    const float s = (reversC * dMan + (1.0f - reversC) * (man - M) / d) / a;
    M = std::clamp(M + (H - Hprev) * std::max(0.0f, s), -Ms, Ms);
    Hprev = H;

    // A finite but enormous drive can still overflow the integrator; demagnetise rather than keep inf/NaN.
    // (M is clamped to +-Ms, so the sum overflows only if one of the two is already non-finite.)
    if (!std::isfinite(H + M))
        clear();

    const float m = M / Ms;
    return x * (1.0f - quadAmount * depth * m * m + depth * asymAmount * m * std::fabs(m));
}

} // namespace omvipccn
