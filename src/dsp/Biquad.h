#pragma once

#include <cmath>

namespace omvitz
{

// Second-order section in transposed direct form II, double precision, coefficients normalised by a0.
struct Biquad
{
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
    double z1 = 0.0, z2 = 0.0;

    double process(double x)
    {
        const double y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }

    void clear()
    {
        z1 = 0.0;
        z2 = 0.0;
    }

    // Butterworth (Q = 1/sqrt 2) high- and low-pass designs for a corner f at sampleRate.
    void setHighPass(double f, double sampleRate) { setButterworth(f, sampleRate, true); }
    void setLowPass(double f, double sampleRate) { setButterworth(f, sampleRate, false); }

private:
    void setButterworth(double f, double sampleRate, bool highPass)
    {
        constexpr double twoPi = 6.283185307179586;
        const double w = twoPi * f / sampleRate;
        const double cosw = std::cos(w);
        const double alpha = std::sin(w) / 1.41421356;
        const double a0 = 1.0 + alpha;
        const double edge = highPass ? (1.0 + cosw) : (1.0 - cosw);
        b0 = edge / 2.0 / a0;
        b1 = (highPass ? -edge : edge) / a0;
        b2 = b0;
        a1 = -2.0 * cosw / a0;
        a2 = (1.0 - alpha) / a0;
    }
};

} // namespace omvitz
