#include "circuit/NE5534Curve.h"
#include "dsp/TzChannelStrip.h"
#include "dsp/TzEq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

using omvitz::TzEq;

namespace
{
constexpr double pi = 3.141592653589793;
using cplx = std::complex<double>;

// The first half of the resampling prototype as tabulated, h[0] ... h[45]; h[90 - i] = h[i].
constexpr std::array<double, 46> tabulatedHalf = {
    -9.95226874e-05, 0.000223837545, -7.16941431e-05, -0.000241250367, 0.000139792886,  0.000360048143,
    -0.000262767862, -0.00050758163, 0.000455793401,  0.000692832808,  -0.000725587015, -0.000910209259,
    0.00109714945,   0.00116480177,  -0.00158857182,  -0.00145221967,  0.00222816831,   0.00177269615,
    -0.00304328487,  -0.00212096632, 0.00407012878,   0.00249329605,   -0.00534989452,  -0.00288265781,
    0.00693693152,   0.00328213419,  -0.00890185218,  -0.00368288718,  0.0113450577,    0.00407612091,
    -0.0144158686,   -0.00445235893, 0.0183539428,    0.00480221445,   -0.023572119,    -0.00511631044,
    0.0308530219,    0.0053862487,   -0.0418810621,   -0.00560483057,  0.0610525943,    0.00576540222,
    -0.104519792,    -0.00586363394, 0.317778975,     0.505896866};

// The whole prototype as the equaliser stores it, in single precision.
std::array<float, 91> tabulatedPrototype()
{
    std::array<float, 91> h{};
    for (size_t i = 0; i < 91; ++i)
        h[i] = static_cast<float>(tabulatedHalf[i <= 45 ? i : 90 - i]);
    return h;
}

std::unique_ptr<TzEq> makeEq(double hostRate)
{
    auto eq = std::make_unique<TzEq>();
    eq->prepare(hostRate);
    return eq;
}

// Frequency response of a section (a0 = 1) at w radians per sample.
template<typename S> cplx response(const S& s, double w)
{
    const cplx z1 = std::polar(1.0, -w);
    const cplx z2 = z1 * z1;
    return (s.b0 + s.b1 * z1 + s.b2 * z2) / (1.0 + s.a1 * z1 + s.a2 * z2);
}
template<typename S> double magnitude(const S& s, double w)
{
    return std::abs(response(s, w));
}

double dbToGain(double db)
{
    return std::pow(10.0, db / 20.0);
}

// Q after the gain-dependent widening: 1.7 times the set Q at +-18 dB.
double effectiveQ(double gainDb, double q)
{
    return std::max(0.2, (std::fabs(gainDb) * 0.7 / 18.0 + 1.0) * q);
}

// Magnitude of the analogue bell with centre 1 rad/s, gain g and band edges (at sqrt g) 1/qe apart.
double analogueBell(double g, double qe, double omega)
{
    const double far = (1.0 - omega * omega) * (1.0 - omega * omega);
    const double n = omega * std::sqrt(g) / qe;
    const double d = omega / (std::sqrt(g) * qe);
    return std::sqrt((n * n + far) / (d * d + far));
}

// Analogue prototypes of the shelves with corner 1 rad/s, A = 10^(gain/40), evaluated at s = j omega.
double analogueShelf(bool high, double a, double qe, double omega)
{
    const cplx s(0.0, omega);
    const double k = std::sqrt(a) / qe;
    if (high)
        return std::abs(a * (a * s * s + k * s + 1.0) / (s * s + k * s + a));
    return std::abs(a * (s * s + k * s + a) / (a * s * s + k * s + 1.0));
}

double toneDb(const std::vector<float>& v, size_t from, double hz, double rate)
{
    cplx sum = 0.0;
    for (size_t i = from; i < v.size(); ++i)
        sum += double(v[i]) * std::polar(1.0, -2.0 * pi * hz * double(i) / rate);
    return 20.0 * std::log10(2.0 * std::abs(sum) / double(v.size() - from));
}

std::vector<float> runSine(TzEq& eq, double hz, double amplitude, int n, double rate)
{
    std::vector<float> out(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        out[static_cast<size_t>(i)] =
            eq.processSample(static_cast<float>(amplitude * std::sin(2.0 * pi * hz * i / rate)));
    return out;
}

bool finiteSection(const TzEq::Section& s)
{
    return std::isfinite(s.b0) && std::isfinite(s.b1) && std::isfinite(s.b2) && std::isfinite(s.a1) &&
           std::isfinite(s.a2);
}

// Both poles of 1 + a1 z^-1 + a2 z^-2 strictly inside the unit circle (stability triangle).
bool stable(const TzEq::Section& s)
{
    return std::fabs(s.a2) < 1.0 && std::fabs(s.a1) < 1.0 + s.a2;
}

// Zero-phase amplitude of the prototype at theta radians per 2x-rate sample (it is symmetric about tap 45).
double prototypeAmplitude(double theta)
{
    const auto h = tabulatedPrototype();
    double a = 0.0;
    for (size_t i = 0; i < h.size(); ++i)
        a += double(h[i]) * std::cos(theta * (double(i) - 45.0));
    return a;
}

// Gain of interpolator and decimator together at w radians per host sample, after their 45-sample delay. A
// host tone at w sits at w/2 and, as the image the zero stuffing leaves, at w/2 + pi at the 2x rate; the
// interpolator weights them by 2 H, the decimator by H and folds both back onto w at half height, so the
// gain is A(w/2)^2 + A(w/2 + pi)^2 with A the prototype's zero-phase amplitude, the phases e^(-j 45 w) of
// both terms alike.
double resamplerGain(double w)
{
    const double a = prototypeAmplitude(w / 2.0);
    const double image = prototypeAmplitude(w / 2.0 + pi);
    return a * a + image * image;
}

// How far the four op-amp stages of a flat equaliser can move its output from the resampled input, in full
// scale, for 2x-rate signals within +-peak full scale. Each stage adds at most the largest deviation of the
// table over that span (the anti-aliased deviation is a mean of table values); the additions pass the later
// stages (slopes of a few per cent, hence the margin of 1.5) and the decimator, which can sum them with the
// weight sum |h|.
double stageBound(double peak)
{
    const auto& curve = omvipccn::sharedNE5534Curve(19.0);
    const double span = 3.472 * peak + curve.delta;
    double largest = 0.0;
    for (size_t k = 0; k < curve.deviation.size(); ++k)
        if (std::fabs(double(k) * curve.delta - curve.range) <= span)
            largest = std::max(largest, std::fabs(curve.deviation[k]));
    double weights = 0.0;
    for (float t : tabulatedPrototype())
        weights += std::fabs(double(t));
    return 1.5 * 4.0 * largest / 3.472 * weights;
}
} // namespace

// The prototype holds the tabulated taps, is symmetric, passes DC at (nearly) unity and splits into two
// interpolator phases that each pass DC at unity; the middle taps are 0.635558 (twice) and 1.0117937. The
// tabulated taps sum to 1.0000254 (twice h[0] ... h[44] plus h[45], worked out from the table); the
// 91 roundings to float move that by less than 1e-7.
TEST(EqResampler, PrototypeAndPhasesPassDcAtUnity)
{
    const auto tabulated = tabulatedPrototype();
    double sum = 0.0;
    for (size_t i = 0; i < TzEq::prototypeTaps; ++i)
    {
        EXPECT_EQ(TzEq::prototype[i], tabulated[i]) << i;
        EXPECT_EQ(TzEq::prototype[i], TzEq::prototype[TzEq::prototypeTaps - 1 - i]) << i;
        sum += TzEq::prototype[i];
    }
    EXPECT_NEAR(sum, 1.0000254, 1e-7);

    double even = 0.0, odd = 0.0;
    for (float t : TzEq::phase0)
        even += t;
    for (float t : TzEq::phase1)
        odd += t;
    EXPECT_NEAR(even, 1.0, 1e-3);
    EXPECT_NEAR(odd, 1.0, 1e-3);
    EXPECT_NEAR(TzEq::phase0[22], 0.635558, 1e-6);
    EXPECT_NEAR(TzEq::phase0[23], 0.635558, 1e-6);
    EXPECT_NEAR(TzEq::phase1[22], 1.0117937, 1e-7);
    EXPECT_EQ(TzEq::phase0[0], 2.0f * -9.95226874e-05f);
    EXPECT_EQ(TzEq::phase1[0], 2.0f * 0.000223837545f);
}

// With every band at 0 dB an impulse comes out 45 samples later as the interpolator and decimator shape it:
// the prototype convolved with itself, at the host rate. The impulse x[n0] = a becomes the 2x-rate sample
// at 2 n0 (the earlier one of its pair) and, through the interpolator's 2 h, 2 a h[m - 2 n0] at 2x-rate
// sample m; the decimator keeps the 2x-rate sample 2 n, so y[n0 + k] = a * sum_i h[i] 2 h[2 k - i],
// 0.99197 a at k = 45 and lobes of up to 0.008 a beside it. The op-amp stages may add stageBound (about
// 1e-3 here).
TEST(EqFlat, ImpulseArrivesFortyFiveSamplesLate)
{
    const auto h = tabulatedPrototype();
    std::array<double, 91> shaped{};
    for (int k = 0; k < 91; ++k)
        for (int i = 0; i < 91; ++i)
            if (2 * k - i >= 0 && 2 * k - i < 91)
                shaped[size_t(k)] += double(h[size_t(i)]) * 2.0 * double(h[size_t(2 * k - i)]);
    ASSERT_NEAR(shaped[45], 0.99197, 1e-5);

    for (double hostRate : {22050.0, 44100.0, 48000.0, 96000.0, 192000.0})
        for (float amplitude : {0.5f, -0.25f})
        {
            SCOPED_TRACE(testing::Message() << hostRate << " Hz, " << amplitude);
            const double tolerance = stageBound(1.02 * std::fabs(amplitude));
            auto eq = makeEq(hostRate);
            for (int i = 0; i < 200; ++i)
            {
                const float y = eq->processSample(i == 10 ? amplitude : 0.0f);
                const int k = i - 10;
                const double expected = k >= 0 && k < 91 ? amplitude * shaped[size_t(k)] : 0.0;
                EXPECT_NEAR(y, expected, tolerance) << "at " << i;
                if (i == 55)
                    EXPECT_NEAR(y, amplitude, 0.015f * std::fabs(amplitude));
                else
                    EXPECT_LT(std::fabs(y), 0.01f * std::fabs(amplitude)) << "at " << i;
            }
        }
}

// Flat equaliser: sines keep their level and come out as the input delayed by exactly 45 samples, apart
// from the resampler's gain at their frequency (within 5e-5 of 1 up to 21 kHz at 48 kHz) and what the op-amp
// stages add (stageBound, about 1e-3 of full scale here).
TEST(EqFlat, SinesPassDelayedAtUnchangedLevel)
{
    const double rate = 48000.0;
    const double amplitude = 0.5;
    for (double hz : {100.0, 1000.0, 10000.0, 20000.0})
    {
        SCOPED_TRACE(hz);
        const double ripple = resamplerGain(2.0 * pi * hz / rate) - 1.0;
        ASSERT_LT(std::fabs(ripple), 6e-5);
        auto eq = makeEq(rate);
        std::vector<float> in(24000);
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = static_cast<float>(amplitude * std::sin(2.0 * pi * hz * double(i) / rate));
        std::vector<float> out;
        for (float x : in)
            out.push_back(eq->processSample(x));
        EXPECT_NEAR(toneDb(out, 12000, hz, rate) - toneDb(in, 12000, hz, rate), 0.0, 0.02);
        double worst = 0.0;
        for (size_t i = 12000; i < in.size(); ++i)
            worst = std::max(worst, double(std::fabs(out[i] - in[i - 45])));
        EXPECT_LT(worst, amplitude * std::fabs(ripple) + stageBound(1.3 * amplitude));
    }
}

// Below 0.001 dB a band is an exact pass-through section, whatever its shape, frequency or Q.
TEST(EqBands, NearZeroGainIsExactPassThrough)
{
    auto eq = makeEq(48000.0);
    for (int type : {0, 1, 2})
        for (float gain : {0.0f, 0.0009f, -0.0009f})
        {
            eq->bands[1] = {type, 2000.0f, gain, 9.0f};
            eq->sections[1].b1 = 0.3; // stale coefficients must be replaced
            eq->recomputeBand(1);
            const auto& s = eq->sections[1];
            EXPECT_EQ(s.b0, 1.0);
            EXPECT_EQ(s.b1, 0.0);
            EXPECT_EQ(s.b2, 0.0);
            EXPECT_EQ(s.a1, 0.0);
            EXPECT_EQ(s.a2, 0.0);
        }
    eq->bands[1] = {1, 2000.0f, 0.0011f, 1.0f};
    eq->recomputeBand(1);
    EXPECT_NE(eq->sections[1].b0, 1.0);
}

// Shelves: |H(DC)| and |H(Nyquist)| are the shelf gain and unity (low shelf) or the reverse (high shelf), and
// the whole curve is the bilinear image of the analogue shelf with corner f0 and the widened Q. Hi-Q on and
// off (2.0 and 0.71) give different curves.
TEST(EqBands, ShelvesFollowTheirAnalogueShapes)
{
    struct Case
    {
        int type;
        float hz, gainDb, q;
        double hostRate;
    };
    const Case cases[] = {{0, 100.0f, 12.0f, 0.71f, 48000.0},   {0, 33.0f, -18.0f, 2.0f, 44100.0},
                          {0, 370.0f, 18.0f, 2.0f, 96000.0},    {0, 200.0f, -6.0f, 0.71f, 22050.0},
                          {2, 7000.0f, 12.0f, 0.71f, 48000.0},  {2, 17000.0f, -18.0f, 2.0f, 44100.0},
                          {2, 1500.0f, 18.0f, 0.71f, 192000.0}, {2, 10000.0f, -3.0f, 2.0f, 22050.0}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.type << " " << c.hz << " Hz " << c.gainDb << " dB q " << c.q
                                        << " @ " << c.hostRate);
        auto eq = makeEq(c.hostRate);
        eq->bands[0] = {c.type, c.hz, c.gainDb, c.q};
        eq->recomputeBand(0);
        const auto& s = eq->sections[0];
        const double g = dbToGain(c.gainDb);
        const bool high = c.type == 2;
        EXPECT_NEAR(magnitude(s, 0.0), high ? 1.0 : g, 1e-9 * g);
        EXPECT_NEAR(magnitude(s, pi), high ? g : 1.0, 1e-9 * g);
        // Shape checks allow for the widening factor being worked out in single precision.

        const double rate = 2.0 * c.hostRate;
        const double w0 = 2.0 * pi * c.hz / rate;
        const double a = dbToGain(c.gainDb / 2.0);
        EXPECT_NEAR(magnitude(s, w0), a, 1e-9 * a); // half the gain in dB at the corner
        const double qe = effectiveQ(c.gainDb, c.q);
        const double otherQe = effectiveQ(c.gainDb, c.q == 2.0f ? 0.71 : 2.0);
        double worstOther = 0.0;
        for (double ratio : {0.25, 0.5, 0.8, 1.25, 2.0, 3.0})
        {
            const double w = std::min(w0 * ratio, 0.95 * pi);
            const double omega = std::tan(w / 2.0) / std::tan(w0 / 2.0);
            const double expected = analogueShelf(high, a, qe, omega);
            EXPECT_NEAR(magnitude(s, w), expected, 1e-6 * expected) << ratio;
            worstOther =
                std::max(worstOther, std::fabs(magnitude(s, w) - analogueShelf(high, a, otherQe, omega)));
        }
        EXPECT_GT(worstOther, 1e-3); // the Q matters
    }
}

// Bells reach their gain at the centre, pass DC at unity, and carry the marks of the design that built them:
// Orfanidis' design meets the analogue bell's gain at Nyquist, the matched design has the impulse-invariant
// poles of the analogue bell, and the cookbook bell is unity at Nyquist with b1 = a1.
TEST(EqBands, BellsHitTheirGainAtTheCentreOnEveryDesignPath)
{
    struct Case
    {
        int band;
        float hz, gainDb, q;
        double hostRate;
        int design; // which of the three designs must have built it
    };
    const Case cases[] = {
        {1, 1000.0f, 12.0f, 1.0f, 48000.0, 1},      {1, 190.0f, -18.0f, 9.0f, 44100.0, 1},
        {2, 8700.0f, 18.0f, 0.3f, 48000.0, 1},      {2, 800.0f, 0.0011f, 2.0f, 96000.0, 1},
        {0, 33.0f, -6.0f, 0.71f, 192000.0, 1},      {3, 17000.0f, 12.0f, 0.71f, 22050.0, 2},
        {3, 15000.0f, -18.0f, 0.71f, 22050.0, 2},   {3, 20790.5f, -200.0f, 0.71f, 22050.0, 3},
        {3, 12302.1f, -100.0f, 0.0001f, 22050.0, 3}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "band " << c.band << " " << c.hz << " Hz " << c.gainDb << " dB q "
                                        << c.q << " @ " << c.hostRate);
        auto eq = makeEq(c.hostRate);
        eq->bands[static_cast<size_t>(c.band)] = {1, c.hz, c.gainDb, c.q};
        eq->recomputeBand(c.band);
        const auto& s = eq->sections[static_cast<size_t>(c.band)];
        ASSERT_TRUE(finiteSection(s));
        EXPECT_TRUE(stable(s));

        const double rate = 2.0 * c.hostRate;
        const double f0 = std::min(double(c.hz), 0.49 * rate);
        const double w0 = 2.0 * pi * f0 / rate;
        const double g = dbToGain(c.gainDb);
        const double qe = effectiveQ(c.gainDb, c.q);
        EXPECT_NEAR(magnitude(s, w0) / g, 1.0, 1e-6);
        EXPECT_NEAR(magnitude(s, 0.0), 1.0, 1e-6);

        TzEq::Coefficients probe;
        EXPECT_EQ(TzEq::designBellNyquist(c.gainDb, qe, f0, rate, probe), c.design == 1);
        if (c.design >= 2)
        {
            EXPECT_EQ(TzEq::designBellMatched(c.gainDb, qe, f0, rate, probe), c.design == 2);
        }
        if (c.design == 1)
        {
            const double nyquistRatio = rate / (2.0 * f0);
            EXPECT_NEAR(magnitude(s, pi), analogueBell(g, qe, nyquistRatio), 1e-6);
        }
        else if (c.design == 2)
        {
            // Poles of s^2 + 2 zeta w0 s + w0^2 (complex or, for a deep cut, real), mapped by z = e^s.
            const double zeta = 1.0 / (2.0 * std::sqrt(g) * qe);
            const cplx root = std::sqrt(cplx(zeta * zeta - 1.0, 0.0));
            const cplx p1 = std::exp(w0 * (-zeta + root));
            const cplx p2 = std::exp(w0 * (-zeta - root));
            EXPECT_NEAR(s.a1, -(p1 + p2).real(), 1e-6);
            EXPECT_NEAR(s.a2, (p1 * p2).real(), 1e-6);
        }
        else
        {
            EXPECT_NEAR(magnitude(s, pi), 1.0, 1e-9);
            EXPECT_NEAR(s.b1, s.a1, 1e-12);
        }
    }
}

// The bell's width: between the two frequencies where the gain is half the peak in dB lie f0 / Qe, with
// Qe = q (0.71 or 2.0 for LF and HF by the Hi-Q switch) widened by the gain: 1.7 q at +-18 dB. Measured on
// low bells where the 2x-rate design and the analogue bell agree. In shelf shape the strip's Hi-Q switches
// set the same Q, widened alike: the shelf follows the analogue shelf with that Q.
TEST(EqBands, HiQAndGainSetTheBellWidth)
{
    struct Case
    {
        bool hiQ;
        float gainDb;
        double q; // expected set Q
    };
    const Case cases[] = {{false, 18.0f, 0.71}, {true, 18.0f, 2.0},  {false, -18.0f, 0.71},
                          {true, -18.0f, 2.0},  {false, 6.0f, 0.71}, {true, -9.0f, 2.0}};
    for (int band : {0, 3})
        for (bool shelf : {false, true})
            for (const auto& c : cases)
            {
                SCOPED_TRACE(testing::Message()
                             << "band " << band << " shelf " << shelf << " " << c.hiQ << " " << c.gainDb);
                const float hz = band == 0 ? 100.0f : 1500.0f;
                omvitz::TZParams p;
                if (band == 0)
                {
                    p.loShelf = shelf;
                    p.loFreq = hz;
                    p.loHiQ = c.hiQ;
                    p.loGainDb = c.gainDb;
                }
                else
                {
                    p.hiShelf = shelf;
                    p.hiFreq = hz;
                    p.hiHiQ = c.hiQ;
                    p.hiGainDb = c.gainDb;
                }
                auto strip = std::make_unique<omvitz::TzChannelStrip>();
                strip->prepare(48000.0);
                strip->applyParams(p);
                const TzEq& eq = strip->eq;
                const auto b = static_cast<size_t>(band);
                EXPECT_FLOAT_EQ(eq.bands[b].q, float(c.q));
                EXPECT_EQ(eq.bands[b].type, shelf ? (band == 0 ? 0 : 2) : 1);

                const auto& s = eq.sections[b];
                const double w0 = 2.0 * pi * hz / eq.rate;
                const double g = dbToGain(c.gainDb);
                const double expected = (std::fabs(c.gainDb) * 0.7 / 18.0 + 1.0) * c.q;
                if (shelf)
                {
                    for (double ratio : {0.5, 0.8, 1.25, 2.0})
                    {
                        const double omega = std::tan(w0 * ratio / 2.0) / std::tan(w0 / 2.0);
                        const double analogue =
                            analogueShelf(band == 3, dbToGain(c.gainDb / 2.0), expected, omega);
                        EXPECT_NEAR(magnitude(s, w0 * ratio) / analogue, 1.0, 1e-6) << ratio;
                    }
                    continue;
                }
                // Band edge between w0 and the far point w: where |H|^2 crosses g.
                const auto edge = [&](double far)
                {
                    double lo = w0, hi = far;
                    for (int i = 0; i < 200; ++i)
                    {
                        const double mid = 0.5 * (lo + hi);
                        const double m2 = magnitude(s, mid) * magnitude(s, mid);
                        ((m2 > g) == (g > 1.0) ? lo : hi) = mid;
                    }
                    return 0.5 * (lo + hi);
                };
                const double upper = edge(std::min(w0 * 50.0, pi));
                const double lower = edge(w0 / 50.0);
                const double measuredQ = w0 / (upper - lower);
                EXPECT_NEAR(measuredQ / expected, 1.0, 0.01);
                if (std::fabs(c.gainDb) == 18.0f)
                {
                    EXPECT_NEAR(measuredQ / c.q, 1.7, 0.017);
                }
            }
}

// Whatever the settings, in range or far beyond it, every band design leaves finite coefficients, and every
// finite setting with a positive frequency a stable section; non-finite input leaves no trace in the state.
TEST(EqFallback, EverySettingGivesFiniteCoefficients)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float gains[] = {-18.0f, 18.0f,  0.001f,  -0.001f, 0.0011f, -0.0011f, 0.0f, 6.0f,
                           -40.0f, 100.0f, -300.0f, 3000.0f, inf,     -inf,     nan};
    const float qs[] = {0.3f, 0.71f, 2.0f, 9.0f, 0.0f, -1.0f, 1e-6f, 1e4f, inf, nan};
    int checked = 0;
    for (double hostRate : {22050.0, 44100.0, 48000.0, 96000.0, 192000.0})
    {
        auto eq = makeEq(hostRate);
        std::vector<float> freqs = {0.0f, -100.0f, nan, inf, 1e-3f, 0.5f, 1e9f};
        for (float f = 5.0f; f < 0.6f * float(eq->rate); f *= 1.4f)
            freqs.push_back(f);
        for (int type : {0, 1, 2})
            for (float f : freqs)
                for (float g : gains)
                    for (float q : qs)
                    {
                        eq->bands[2] = {type, f, g, q};
                        eq->recomputeBand(2);
                        const auto& s = eq->sections[2];
                        ++checked;
                        ASSERT_TRUE(finiteSection(s))
                            << hostRate << " " << type << " " << f << " " << g << " " << q;
                        // Stable for any Q, a generous gain span and frequencies from 1 Hz (below that the
                        // poles sit within rounding of z = 1).
                        if (std::isfinite(f) && f >= 1.0f && std::fabs(g) <= 40.0f && std::isfinite(q) &&
                            q > 0.0f)
                        {
                            EXPECT_TRUE(stable(s) || (std::fabs(s.a1) + std::fabs(s.a2) == 0.0))
                                << hostRate << " " << type << " " << f << " " << g << " " << q;
                        }
                    }
    }
    EXPECT_GT(checked, 10000);

    auto eq = makeEq(48000.0);
    eq->bands[1] = {1, 1000.0f, 18.0f, 9.0f};
    eq->recomputeBand(1);
    for (float x : {nan, inf, -inf, 0.5f, nan})
        EXPECT_TRUE(std::isfinite(eq->processSample(x)));
    for (const auto& s : eq->sections)
        EXPECT_TRUE(std::isfinite(s.z1) && std::isfinite(s.z2));
    for (float h : eq->upHistory)
        EXPECT_TRUE(std::isfinite(h));
}

// The bell's fallback chain, a case for each way a design can give up on settings a band accepts. Design 1
// (prescribed Nyquist gain) gives up when the analogue bell's gain at the 2x rate's Nyquist frequency, G1^2,
// lies beyond the centre gain G as seen from 1 ((G - 1) / (G - G1^2) <= 0: the bell sits too close to
// Nyquist for its width; G1^2 = G is the edge, crossed near 2.29 dB for a 12 kHz bell at Q 0.71 and 22.05
// kHz), or when |G^2 - G| < 1e-18 (cuts past 360 dB). Design 2 (matched) gives up when sin^2(w0 / 2) <
// 1e-12, when B1 < 0, when W^2 + B2 < 0 or when b0 <= 1e-12. Each section is checked against what the
// design that must have built it produces, worked out here: design 1 meets the analogue bell at DC, f0 and
// Nyquist; design 2 has the analogue bell's poles mapped by z = e^s and meets it at DC and f0; design 3 is
// the cookbook bell, coefficient for coefficient.
TEST(EqFallback, EachGiveUpFallsToTheNextDesign)
{
    enum class Why
    {
        none,
        nyquistBeyondCentre, // design 1: (G - 1) / (G - G1^2) <= 0
        gainsTooClose,       // design 1: |G^2 - G| < 1e-18
        lowFrequency,        // design 2: sin^2(w0 / 2) < 1e-12
        matchedGivesUp       // design 2: B1 < 0, W^2 + B2 < 0 or b0 <= 1e-12
    };
    struct Case
    {
        double hostRate;
        float hz, gainDb, q;
        Why first, second;
        int design;
        const char* what;
    };
    const Case cases[] = {
        {22050.0, 12000.0f, 2.4f, 0.71f, Why::none, Why::none, 1, "just inside the edge, boost"},
        {22050.0, 12000.0f, -2.4f, 0.71f, Why::none, Why::none, 1, "just inside the edge, cut"},
        {22050.0, 12000.0f, 2.2f, 0.71f, Why::nyquistBeyondCentre, Why::none, 2, "just past the edge, boost"},
        {22050.0, 12000.0f, -2.2f, 0.71f, Why::nyquistBeyondCentre, Why::none, 2, "just past the edge, cut"},
        {22050.0, 5000.0f, -100.0f, 0.01f, Why::nyquistBeyondCentre, Why::none, 2, "deep narrow cut"},
        {22050.0, 8000.0f, 400.0f, 0.01f, Why::nyquistBeyondCentre, Why::matchedGivesUp, 3, "B1 < 0"},
        {22050.0, 5000.0f, 400.0f, 0.01f, Why::nyquistBeyondCentre, Why::matchedGivesUp, 3, "W^2 + B2 < 0"},
        {22050.0, 5000.0f, -400.0f, 0.01f, Why::nyquistBeyondCentre, Why::matchedGivesUp, 3, "b0 <= 1e-12"},
        {48000.0, 1000.0f, -400.0f, 1.0f, Why::gainsTooClose, Why::matchedGivesUp, 3, "b0 <= 1e-12"},
        {22050.0, 0.001f, -1000.0f, 1.0f, Why::gainsTooClose, Why::lowFrequency, 3, "sin^2 below 1e-12"}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.what << ": " << c.hz << " Hz " << c.gainDb << " dB q " << c.q
                                        << " @ " << c.hostRate);
        auto eq = makeEq(c.hostRate);
        eq->bands[2] = {1, c.hz, c.gainDb, c.q};
        eq->recomputeBand(2);
        const auto& s = eq->sections[2];
        ASSERT_TRUE(finiteSection(s));

        const double rate = 2.0 * c.hostRate;
        const double f0 = c.hz;
        const double w0 = 2.0 * pi * f0 / rate;
        const double g = dbToGain(c.gainDb);
        // The widening with |gain| * 0.7 taken in float, as the equaliser does it.
        const double qe = std::max(0.2, (double(std::fabs(c.gainDb) * 0.7f) / 18.0 + 1.0) * double(c.q));
        const double g1 = analogueBell(g, qe, rate / (2.0 * f0));
        // The conditions in the order design 1 tests them: the first that holds is the reason.
        const bool beyond = (g - 1.0) / (g - g1 * g1) <= 0.0;
        const bool tooClose = std::fabs(g * g - g) < 1e-18;
        EXPECT_EQ(beyond, c.first == Why::nyquistBeyondCentre);
        if (!beyond)
        {
            EXPECT_EQ(tooClose, c.first == Why::gainsTooClose);
        }
        const double sinHalf = std::sin(w0 / 2.0);
        EXPECT_EQ(sinHalf * sinHalf < 1e-12, c.second == Why::lowFrequency);
        TzEq::Coefficients probe;
        if (c.design >= 2)
        {
            EXPECT_EQ(TzEq::designBellMatched(c.gainDb, qe, f0, rate, probe), c.design == 2);
        }

        if (c.design <= 2)
        {
            EXPECT_NEAR(magnitude(s, 0.0), 1.0, 1e-6);
            EXPECT_NEAR(magnitude(s, w0) / g, 1.0, 1e-6);
        }
        if (c.design == 1)
        {
            EXPECT_NEAR(magnitude(s, pi) / g1, 1.0, 1e-6);
        }
        else if (c.design == 2)
        {
            const double zeta = 1.0 / (2.0 * std::sqrt(g) * qe);
            const cplx root = std::sqrt(cplx(zeta * zeta - 1.0, 0.0));
            const cplx p1 = std::exp(w0 * (-zeta + root));
            const cplx p2 = std::exp(w0 * (-zeta - root));
            EXPECT_NEAR(s.a1, -(p1 + p2).real(), 1e-9);
            EXPECT_NEAR(s.a2, (p1 * p2).real(), 1e-9);
        }
        else
        {
            const double a = dbToGain(c.gainDb / 2.0);
            const double alpha = std::sin(w0) / (2.0 * qe);
            const double a0 = 1.0 + alpha / a;
            const double expected[] = {(1.0 + alpha * a) / a0, -2.0 * std::cos(w0) / a0,
                                       (1.0 - alpha * a) / a0, -2.0 * std::cos(w0) / a0,
                                       (1.0 - alpha / a) / a0};
            const double got[] = {s.b0, s.b1, s.b2, s.a1, s.a2};
            for (int k = 0; k < 5; ++k)
                EXPECT_NEAR(got[k], expected[k], 1e-9 * std::fabs(expected[k]) + 1e-15) << k;
        }
    }
}

// Switching a band between shelf and bell rewrites its coefficients only: every state carries over.
// prepare clears every state and history.
TEST(EqState, ShapeSwitchKeepsStatesAndPrepareClears)
{
    auto eq = makeEq(48000.0);
    eq->bands[0] = {0, 100.0f, 9.0f, 0.71f};
    eq->bands[3] = {2, 7000.0f, -6.0f, 0.71f};
    for (int b : {0, 3})
        eq->recomputeBand(b);
    std::vector<float> in = {0.3f, -0.2f, 0.7f, 0.1f, -0.5f};
    for (int i = 0; i < 300; ++i)
        eq->processSample(in[static_cast<size_t>(i) % in.size()]);

    const TzEq before = *eq;
    eq->bands[0].type = 1;
    eq->bands[3].type = 1;
    for (int b : {0, 3})
        eq->recomputeBand(b);
    for (size_t b = 0; b < 4; ++b)
    {
        EXPECT_EQ(eq->sections[b].z1, before.sections[b].z1);
        EXPECT_EQ(eq->sections[b].z2, before.sections[b].z2);
        EXPECT_EQ(eq->stages[b].vSlew, before.stages[b].vSlew);
        EXPECT_EQ(eq->stages[b].hPrev, before.stages[b].hPrev);
        const bool switched = b == 0 || b == 3;
        EXPECT_EQ(eq->sections[b].b0 != before.sections[b].b0, switched) << b;
        EXPECT_EQ(eq->sections[b].a1 != before.sections[b].a1, switched) << b;
    }
    EXPECT_NE(eq->sections[0].z1, 0.0);
    EXPECT_EQ(eq->upHistory, before.upHistory);
    EXPECT_EQ(eq->downHistory, before.downHistory);
    EXPECT_EQ(eq->upWriteIndex, before.upWriteIndex);
    EXPECT_EQ(eq->downWriteIndex, before.downWriteIndex);

    eq->prepare(44100.0);
    EXPECT_EQ(eq->rate, 88200.0);
    for (size_t b = 0; b < 4; ++b)
    {
        EXPECT_EQ(eq->sections[b].z1, 0.0);
        EXPECT_EQ(eq->sections[b].z2, 0.0);
        EXPECT_EQ(eq->stages[b].vSlew, 0.0f);
        EXPECT_EQ(eq->stages[b].hPrev, 0.0);
        EXPECT_FALSE(eq->stages[b].dcBlock);
        EXPECT_FLOAT_EQ(eq->stages[b].slewPerSample, float(1.3e7 / 88200.0));
    }
    for (float h : eq->upHistory)
        EXPECT_EQ(h, 0.0f);
    for (float h : eq->downHistory)
        EXPECT_EQ(h, 0.0f);
    EXPECT_EQ(eq->upWriteIndex, 0);
    EXPECT_EQ(eq->downWriteIndex, 0);
    // prepare redesigned the bands for the new rate: the bell at 100 Hz peaks there at 88.2 kHz.
    EXPECT_NEAR(magnitude(eq->sections[0], 2.0 * pi * 100.0 / 88200.0), dbToGain(9.0), 1e-6);
}

// Settings arrive from the strip between blocks, every band redesigned each time: whatever changes (gain,
// frequency, Q, Hi-Q, shelf or bell), no section, stage or history is touched, so nothing clicks from a
// cleared state.
TEST(EqState, SettingChangesBetweenBlocksKeepEveryState)
{
    omvitz::TZParams p;
    p.loGainDb = 9.0f;
    p.m1GainDb = -6.0f;
    p.m2GainDb = 6.0f;
    p.hiGainDb = -4.0f;
    auto strip = std::make_unique<omvitz::TzChannelStrip>();
    strip->prepare(48000.0);
    strip->applyParams(p);
    const auto changes = std::vector<std::function<void(omvitz::TZParams&)>>{[](omvitz::TZParams& q)
                                                                             {
                                                                                 q.loShelf = false;
                                                                                 q.hiShelf = false;
                                                                             },
                                                                             [](omvitz::TZParams& q)
                                                                             {
                                                                                 q.loGainDb = -12.0f;
                                                                                 q.m1Freq = 1200.0f;
                                                                                 q.m2Q = 4.0f;
                                                                                 q.hiFreq = 12000.0f;
                                                                             },
                                                                             [](omvitz::TZParams& q)
                                                                             {
                                                                                 q.loHiQ = true;
                                                                                 q.hiHiQ = true;
                                                                                 q.loShelf = true;
                                                                                 q.m1GainDb = 3.0f;
                                                                                 q.m2Freq = 5000.0f;
                                                                                 q.hiGainDb = 18.0f;
                                                                             }};
    int n = 0;
    for (const auto& change : changes)
    {
        for (int i = 0; i < 1000; ++i, ++n)
            strip->processSample(static_cast<float>(0.4 * std::sin(0.05 * n) + 0.2 * std::sin(0.7 * n)),
                                 0.0f);
        const TzEq before = strip->eq;
        change(p);
        strip->applyParams(p);
        const TzEq& eq = strip->eq;
        for (size_t b = 0; b < 4; ++b)
        {
            SCOPED_TRACE(b);
            EXPECT_NE(before.sections[b].z1, 0.0);
            EXPECT_EQ(eq.sections[b].z1, before.sections[b].z1);
            EXPECT_EQ(eq.sections[b].z2, before.sections[b].z2);
            EXPECT_EQ(eq.stages[b].vSlew, before.stages[b].vSlew);
            EXPECT_EQ(eq.stages[b].hPrev, before.stages[b].hPrev);
        }
        EXPECT_EQ(eq.upHistory, before.upHistory);
        EXPECT_EQ(eq.downHistory, before.downHistory);
        EXPECT_EQ(eq.upWriteIndex, before.upWriteIndex);
        EXPECT_EQ(eq.downWriteIndex, before.downWriteIndex);
    }
}

// Sine in, level out: a band boosted or cut by 12 dB moves a tone at its centre by 12 dB through the whole
// equaliser (resampler and op-amp stages included), and leaves a tone far from it nearly alone.
TEST(EqResponse, MeasuredLevelAtBandCentre)
{
    struct Case
    {
        int band, type;
        float hz, gainDb, q;
        double hostRate;
        double farHz;
    };
    const Case cases[] = {{1, 1, 1000.0f, 12.0f, 1.0f, 48000.0, 10000.0},
                          {2, 1, 5000.0f, -12.0f, 2.0f, 44100.0, 200.0},
                          {0, 1, 100.0f, 12.0f, 2.0f, 48000.0, 5000.0},
                          {3, 1, 12000.0f, 12.0f, 0.71f, 96000.0, 300.0}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "band " << c.band << " " << c.hz << " Hz " << c.gainDb << " dB");
        auto eq = makeEq(c.hostRate);
        eq->bands[static_cast<size_t>(c.band)] = {c.type, c.hz, c.gainDb, c.q};
        eq->recomputeBand(c.band);
        const int n = static_cast<int>(c.hostRate / 2.0);
        const double amplitude = 0.05;
        const auto atCentre = runSine(*eq, c.hz, amplitude, n, c.hostRate);
        EXPECT_NEAR(toneDb(atCentre, size_t(n / 2), c.hz, c.hostRate) - 20.0 * std::log10(amplitude),
                    c.gainDb, 0.1);

        eq->prepare(c.hostRate);
        const auto far = runSine(*eq, c.farHz, amplitude, n, c.hostRate);
        const double rate = 2.0 * c.hostRate;
        const double expectedFar =
            20.0 * std::log10(analogueBell(dbToGain(c.gainDb), effectiveQ(c.gainDb, c.q),
                                           std::tan(pi * c.farHz / rate) / std::tan(pi * c.hz / rate)));
        EXPECT_NEAR(toneDb(far, size_t(n / 2), c.farHz, c.hostRate) - 20.0 * std::log10(amplitude),
                    expectedFar, 0.5);
    }
}

namespace
{
// Level in dB of a small steady sine through the equaliser relative to its input: 0.15 s to settle, then a
// single-bin DFT over whole periods (at least 0.2 s).
double measuredGainDb(TzEq& eq, double hz, double hostRate)
{
    constexpr double amplitude = 0.25;
    const auto settle = static_cast<size_t>(0.15 * hostRate);
    const double periods = std::ceil(0.2 * hz);
    const auto window = static_cast<size_t>(std::round(periods * hostRate / hz));
    const auto out = runSine(eq, hz, amplitude, static_cast<int>(settle + window), hostRate);
    return toneDb(out, settle, hz, hostRate) - 20.0 * std::log10(amplitude);
}
} // namespace

// Magnitude responses measured through the whole equaliser with small steady sines (0.25 full scale), against
// the analogue prototypes. Shelves are the cookbook's: the analogue shelf at the bilinear frequency
// tan(w/2) / tan(w0/2). A bell meets the analogue bell exactly at DC and at its centre, and, prescribed at
// the 2x rate's Nyquist frequency, stays close to it up to the host's Nyquist frequency. Allowed: 0.05 dB at
// exact points (the op-amp stages' deviation, some 1e-4 of full scale, is 0.03 dB of the quietest tone
// here; the resampler's ripple is 0.0005 dB), 0.2 dB at the high probes, where the bilinear (cookbook) bell
// with the same centre and Q is off by more than that (0.26 dB to 1.5 dB at the probes chosen).
TEST(EqResponse, MeasuredMagnitudeFollowsAnaloguePrototypes)
{
    struct Case
    {
        int band, type;
        float hz, gainDb, q;
        double hostRate;
        std::vector<double> exact; // probe frequencies, Hz
        std::vector<double> high;  // bells only: probes between the centre and the host's Nyquist frequency
    };
    const Case cases[] = {
        {3, 1, 12000.0f, 12.0f, 0.71f, 48000.0, {20.0, 12000.0}, {19200.0, 21000.0}},
        {2, 1, 8700.0f, 18.0f, 0.3f, 44100.0, {20.0, 8700.0}, {17400.0, 19800.0}},
        {2, 1, 5000.0f, -12.0f, 2.0f, 22050.0, {20.0, 5000.0}, {9000.0, 10000.0}},
        {1, 1, 1000.0f, -12.0f, 9.0f, 48000.0, {20.0, 1000.0, 20000.0}, {}},
        {0, 0, 100.0f, 12.0f, 0.71f, 48000.0, {20.0, 50.0, 100.0, 130.0, 200.0, 1000.0, 15000.0}, {}},
        {0, 0, 370.0f, -18.0f, 2.0f, 96000.0, {30.0, 200.0, 370.0, 500.0, 1000.0}, {}},
        {3,
         2,
         7000.0f,
         -12.0f,
         2.0f,
         44100.0,
         {140.0, 2100.0, 4900.0, 7000.0, 9100.0, 14000.0, 20000.0},
         {}}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "band " << c.band << " type " << c.type << " " << c.hz << " Hz "
                                        << c.gainDb << " dB q " << c.q << " @ " << c.hostRate);
        auto eq = makeEq(c.hostRate);
        const auto set = [&]
        {
            eq->prepare(c.hostRate);
            eq->bands[static_cast<size_t>(c.band)] = {c.type, c.hz, c.gainDb, c.q};
            eq->recomputeBand(c.band);
        };
        const double rate = 2.0 * c.hostRate;
        const double qe = effectiveQ(c.gainDb, c.q);
        const double g = dbToGain(c.gainDb);
        const auto warped = [&](double hz) { return std::tan(pi * hz / rate) / std::tan(pi * c.hz / rate); };
        const auto expectedDb = [&](double hz)
        {
            if (c.type == 1)
                return 20.0 * std::log10(analogueBell(g, qe, hz / c.hz));
            return 20.0 * std::log10(analogueShelf(c.type == 2, dbToGain(c.gainDb / 2.0), qe, warped(hz)));
        };
        for (double hz : c.exact)
        {
            set();
            EXPECT_NEAR(measuredGainDb(*eq, hz, c.hostRate), expectedDb(hz), 0.05) << hz << " Hz";
        }
        for (double hz : c.high)
        {
            set();
            const double expected = expectedDb(hz);
            EXPECT_NEAR(measuredGainDb(*eq, hz, c.hostRate), expected, 0.2) << hz << " Hz";
            const double bilinearDb = 20.0 * std::log10(analogueBell(g, qe, warped(hz)));
            EXPECT_GT(std::fabs(bilinearDb - expected), 0.25) << hz << " Hz";
        }
    }
}

namespace
{
// The equaliser written out plainly: ring buffers indexed modulo their length, one loop per sum taken in tap
// order, each band's section and op-amp stage by their formulas (table lookups dividing by the spacing), and
// the earlier 2x-rate sample through all four bands before the later one. The coefficients are taken from
// the equaliser under test: the designs are checked elsewhere, this compares the running arithmetic.
class PlainEq
{
public:
    PlainEq(const TzEq& designed, const omvipccn::NE5534Curve& played)
        : curve(played), slew(static_cast<float>(1.3e7 / designed.rate)), h(tabulatedPrototype())
    {
        for (size_t b = 0; b < 4; ++b)
        {
            const auto& s = designed.sections[b];
            bands[b].c = {s.b0, s.b1, s.b2, s.a1, s.a2};
        }
    }

    float process(float x)
    {
        up[upPos] = x; // up[(upPos + j) % 46] = x[n - j]
        float p = 0.0f, r = 0.0f;
        for (size_t j = 0; j < 46; ++j)
            p += 2.0f * h[2 * j] * up[(upPos + j) % 46];
        for (size_t j = 0; j < 45; ++j)
            r += 2.0f * h[2 * j + 1] * up[(upPos + j) % 46];
        upPos = (upPos + 45) % 46;

        push(chain(p));
        float out = 0.0f;
        for (size_t i = 0; i < 91; ++i)
            out += h[i] * down[(downPos + 1 + i) % 91];
        push(chain(r));
        return out;
    }

private:
    struct Band
    {
        std::array<double, 5> c{}; // b0, b1, b2, a1, a2
        double s1 = 0.0, s2 = 0.0;
        float vSlew = 0.0f;
        double hPrev = 0.0;
    };

    double lookup(const std::vector<double>& table, double v) const
    {
        const double t = (v + curve.range) / curve.delta;
        if (t <= 0.0)
            return table.front();
        if (t >= 8191.0)
            return table.back();
        const auto i = static_cast<size_t>(t);
        return table[i] + (t - double(i)) * (table[i + 1] - table[i]);
    }

    float stage(Band& b, float x) const
    {
        double v = 3.472 * x;
        const double step = std::clamp(v - double(b.vSlew), -double(slew), double(slew));
        v = double(b.vSlew) + step;
        b.vSlew = static_cast<float>(v);
        const double hv = std::clamp(v, -curve.range, curve.range);
        const double dev =
            std::fabs(hv - b.hPrev) > 1e-4
                ? (lookup(curve.integral, hv) - lookup(curve.integral, b.hPrev)) / (hv - b.hPrev)
                : lookup(curve.deviation, (hv + b.hPrev) / 2.0);
        b.hPrev = hv;
        const float y = static_cast<float>((hv + dev) * 0.28801843317972353);
        return std::fabs(y) < 1e-25f ? 0.0f : y;
    }

    float chain(float u)
    {
        for (Band& b : bands)
        {
            const double y = b.c[0] * u + b.s1;
            b.s1 = b.c[1] * u - b.c[3] * y + b.s2;
            b.s2 = b.c[2] * u - b.c[4] * y;
            u = stage(b, static_cast<float>(y));
        }
        return u;
    }

    void push(float z)
    {
        down[downPos] = z; // down[(downPos + i) % 91] = z[m - i]
        downPos = (downPos + 90) % 91;
    }

    const omvipccn::NE5534Curve& curve;
    float slew;
    std::array<float, 91> h;
    std::array<Band, 4> bands;
    std::array<float, 46> up{};
    std::array<float, 91> down{};
    size_t upPos = 0, downPos = 0;
};
} // namespace

// The equaliser against the plain version above, on seconds of signal with all four bands working: a sweep,
// noise, silence, held levels, signals close to the anti-aliasing threshold, clipping bursts and steps the
// slew limit catches. The two may differ only in rounding: the order of the float additions in the
// resampler's sums and double-precision rounding inside the stages. One float rounding is 6e-8 of a sample;
// with sums of up to 91 products and sections that raise the level by up to 18 dB each, the differences
// reach some tens of roundings of the peak level. 1e-5 of the peak (about 170 roundings) bounds them, well
// below what a mistake makes: even the decimator's newest sample weighted by h[1] (2.2e-4) instead of h[0]
// (-1e-4) shows at 3e-4 of the peak.
TEST(EqArithmetic, MatchesPlainVersionWithinRounding)
{
    struct Case
    {
        double hostRate;
        std::array<TzEq::Band, 4> bands;
    };
    const Case cases[] = {{44100.0,
                           {{{0, 120.0f, 12.0f, 0.71f},
                             {1, 400.0f, -9.0f, 3.0f},
                             {1, 2500.0f, 15.0f, 0.5f},
                             {2, 9000.0f, -6.0f, 2.0f}}}},
                          {96000.0,
                           {{{1, 60.0f, -18.0f, 2.0f},
                             {1, 1000.0f, 18.0f, 9.0f},
                             {1, 5000.0f, -12.0f, 0.3f},
                             {1, 15000.0f, 18.0f, 0.71f}}}}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.hostRate);
        auto eq = makeEq(c.hostRate);
        eq->bands = c.bands;
        for (int b = 0; b < 4; ++b)
            eq->recomputeBand(b);
        PlainEq plain(*eq, omvipccn::sharedNE5534Curve(19.0));

        const auto n = static_cast<size_t>(2.0 * c.hostRate);
        std::uint32_t seed = 12345;
        double peak = 0.0, worst = 0.0;
        size_t worstAt = 0;
        for (size_t i = 0; i < n; ++i)
        {
            seed = seed * 1664525u + 1013904223u;
            const double noise = static_cast<double>(static_cast<std::int32_t>(seed)) / 2147483648.0;
            const double t = double(i) / c.hostRate;
            double x;
            switch (i * 8 / n)
            {
            case 0: // sweep from 20 Hz up, 0.5 full scale
                x = 0.5 * std::sin(2.0 * pi * 20.0 * t * std::exp(3.0 * t));
                break;
            case 1: // noise
                x = 0.3 * noise;
                break;
            case 2: // silence, then a held level
                x = i % (n / 8) < n / 32 ? 0.0 : 0.4;
                break;
            case 3: // tiny signals, dh near the anti-aliasing threshold
                x = 3e-5 * std::sin(2.0 * pi * 300.0 * t) + 1e-5 * noise;
                break;
            case 4: // slow ramp
                x = std::fmod(t, 0.05) * 4.0 - 0.1;
                break;
            case 5: // clipping bursts past the table span
                x = 5.0 * std::sin(2.0 * pi * 180.0 * t);
                break;
            case 6: // steps of +-100 full scale, far faster than the slew limit
                x = (i / 40) % 2 ? 100.0 : -100.0;
                break;
            default: // a sine with noise
                x = 0.6 * std::sin(2.0 * pi * 3000.0 * t) + 0.1 * noise;
                break;
            }
            const float expected = plain.process(static_cast<float>(x));
            const float got = eq->processSample(static_cast<float>(x));
            ASSERT_TRUE(std::isfinite(got)) << i;
            peak = std::max(peak, double(std::fabs(expected)));
            if (std::fabs(got - expected) > worst)
            {
                worst = std::fabs(got - expected);
                worstAt = i;
            }
        }
        EXPECT_GT(peak, 1.0);
        EXPECT_LE(worst, 1e-5 * peak) << "at " << worstAt << ", peak " << peak;
    }
}

namespace
{
// Every band at the same corner of its ranges: lowest or highest frequency, +-18 dB, narrowest or widest Q
// (Hi-Q on or off for the outer bands), the outer bands as shelves or bells.
omvitz::TZParams cornerSettings(bool highest, float gainDb, bool narrow, bool shelves)
{
    omvitz::TZParams p;
    p.loFreq = highest ? 370.0f : 33.0f;
    p.m1Freq = highest ? 2000.0f : 190.0f;
    p.m2Freq = highest ? 8700.0f : 800.0f;
    p.hiFreq = highest ? 17000.0f : 1500.0f;
    p.loGainDb = p.m1GainDb = p.m2GainDb = p.hiGainDb = gainDb;
    p.loHiQ = p.hiHiQ = narrow;
    p.m1Q = p.m2Q = narrow ? 9.0f : 0.3f;
    p.loShelf = p.hiShelf = shelves;
    return p;
}

bool finiteState(const TzEq& eq)
{
    bool finite = true;
    for (size_t b = 0; b < 4; ++b)
        finite = finite && std::isfinite(eq.sections[b].z1) && std::isfinite(eq.sections[b].z2) &&
                 std::isfinite(eq.stages[b].vSlew) && std::isfinite(eq.stages[b].hPrev);
    for (float h : eq.upHistory)
        finite = finite && std::isfinite(h);
    for (float h : eq.downHistory)
        finite = finite && std::isfinite(h);
    return finite;
}
} // namespace

// Extreme but legal settings at the lowest and highest host rates: every section is stable, a burst of loud
// noise comes out finite, and once the input stops the output dies away to the op-amp stages' offsets (some
// 1e-4 of full scale) within 0.7 s. The slowest section is the 33 Hz bell at +18 dB and Q 2 * 1.7: its poles
// have Q sqrt(G) Qe = 9.6 and time constant 2 * 9.6 / (2 pi 33 Hz) = 93 ms, so even ringing at the stages'
// clip level, 6.9 full scale, is down to 0.01 after ln(690) * 93 ms = 0.61 s.
TEST(EqBadInput, ExtremeLegalSettingsGiveFiniteStableOutput)
{
    for (double hostRate : {22050.0, 192000.0})
        for (bool highest : {false, true})
            for (float gainDb : {18.0f, -18.0f})
                for (bool narrow : {false, true})
                    for (bool shelves : {false, true})
                    {
                        SCOPED_TRACE(testing::Message() << hostRate << " highest " << highest << " " << gainDb
                                                        << " dB narrow " << narrow << " shelves " << shelves);
                        auto strip = std::make_unique<omvitz::TzChannelStrip>();
                        strip->prepare(hostRate);
                        strip->applyParams(cornerSettings(highest, gainDb, narrow, shelves));
                        TzEq& eq = strip->eq;
                        for (const auto& s : eq.sections)
                            ASSERT_TRUE(finiteSection(s) && stable(s));

                        std::uint32_t seed = 99;
                        const auto burst = static_cast<int>(0.05 * hostRate);
                        const auto quiet = static_cast<int>(0.7 * hostRate);
                        float tail = 0.0f;
                        for (int i = 0; i < burst + quiet; ++i)
                        {
                            seed = seed * 1664525u + 1013904223u;
                            const float x =
                                i < burst ? float(static_cast<std::int32_t>(seed)) * 2.3e-10f : 0.0f;
                            const float y = eq.processSample(x);
                            ASSERT_TRUE(std::isfinite(y)) << i;
                            if (i >= burst + quiet - 1000)
                                tail = std::max(tail, std::fabs(y));
                        }
                        EXPECT_LT(tail, 0.01f);
                    }
}

// Full-scale input with every band at +18 dB: the sections reach far beyond full scale and the stages clip,
// but no value anywhere, in the equaliser or at the strip's output, is ever infinite or NaN.
TEST(EqBadInput, FullScaleWithAllBandsBoostedStaysFinite)
{
    for (double hostRate : {22050.0, 48000.0, 192000.0})
        for (bool highest : {false, true})
            for (bool narrow : {false, true})
                for (bool shelves : {false, true})
                {
                    SCOPED_TRACE(testing::Message() << hostRate << " highest " << highest << " narrow "
                                                    << narrow << " shelves " << shelves);
                    auto strip = std::make_unique<omvitz::TzChannelStrip>();
                    strip->prepare(hostRate);
                    strip->applyParams(cornerSettings(highest, 18.0f, narrow, shelves));
                    const auto n = static_cast<int>(0.1 * hostRate);
                    for (int i = 0; i < n; ++i)
                    {
                        // A full-scale square wave near the boosted frequencies, then full-scale noise.
                        const float x =
                            i < n / 2 ? ((i / 40) % 2 ? 1.0f : -1.0f) : (i * 7919 % 2 ? 1.0f : -1.0f);
                        ASSERT_TRUE(std::isfinite(strip->processSample(x, 0.0f))) << i;
                        ASSERT_TRUE(finiteState(strip->eq)) << i;
                    }
                }
}
