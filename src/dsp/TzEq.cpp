#include "dsp/TzEq.h"

#include <algorithm>
#include <cmath>

namespace omvitz
{

namespace
{
// Dot products over whole blocks of eight, kept in eight interleaved partial sums so that the compiler runs
// them as vector code instead of one long chain of dependent additions.
constexpr std::size_t lanes = 8;

float total(const float (&partial)[lanes])
{
    return ((partial[0] + partial[1]) + (partial[2] + partial[3])) +
           ((partial[4] + partial[5]) + (partial[6] + partial[7]));
}

static_assert(TzEq::upSpan % lanes == 0 && TzEq::upSpan >= TzEq::phase0Taps, "interpolator window");
static_assert(TzEq::downSpan % lanes == 0 && TzEq::downSpan >= TzEq::prototypeTaps, "decimator window");

// n is a whole number of blocks.
float dot(const float* a, const float* b, std::size_t n)
{
    float partial[lanes] = {};
    for (std::size_t i = 0; i < n; i += lanes)
        for (std::size_t k = 0; k < lanes; ++k)
            partial[k] += a[i + k] * b[i + k];
    return total(partial);
}

constexpr double twoPi = 6.283185307179586;

bool allFinite(const TzEq::Coefficients& c)
{
    return std::isfinite(c.b0) && std::isfinite(c.b1) && std::isfinite(c.b2) && std::isfinite(c.a1) &&
           std::isfinite(c.a2);
}
} // namespace

bool TzEq::designBellNyquist(double gainDb, double qe, double f0, double rate, Coefficients& c)
{
    const double w0 = twoPi * f0 / rate;
    const double g = std::pow(10.0, gainDb / 20.0);
    const double gg = g * g;
    const double dw = w0 / qe;
    const double o = rate / (2.0 * f0);

    // Gain of the analogue bell at the Nyquist frequency.
    const double sqrtG = std::sqrt(g);
    const double far = (1.0 - o * o) * (1.0 - o * o);
    const double numer = (o * sqrtG / qe) * (o * sqrtG / qe) + far;
    const double denom = (o / (sqrtG * qe)) * (o / (sqrtG * qe)) + far;
    const double g1Sq = numer / denom;
    const double g1 = std::sqrt(g1Sq);

    if (g - g1Sq == 0.0 || gg - 1.0 == 0.0 || (g - 1.0) / (g - g1Sq) <= 0.0 ||
        (gg - g1Sq) / (gg - 1.0) <= 0.0)
        return false;

    const double t = std::tan(0.5 * w0);
    const double w2 = std::sqrt((gg - g1Sq) / (gg - 1.0)) * t * t;
    const double dW = (1.0 + std::sqrt((g - 1.0) / (g - g1Sq)) * w2) * std::tan(0.5 * dw);

    if ((g - 1.0) * (g - g1Sq) < 0.0 || (gg - 1.0) * (gg - g1Sq) < 0.0)
        return false;
    const double f = std::fabs(gg - g);
    if (f < 1e-18)
        return false;

    const double cc =
        std::fabs(g - g1Sq) * dW * dW - 2.0 * w2 * (std::fabs(g - g1) - std::sqrt((g - 1.0) * (g - g1Sq)));
    const double d = 2.0 * w2 * (std::fabs(gg - g1) - std::sqrt((gg - 1.0) * (gg - g1Sq)));

    if (cc + d < 0.0)
        return false;
    const double a = std::sqrt((cc + d) / f);
    if (gg * cc + g * d < 0.0)
        return false;
    const double b = std::sqrt((gg * cc + g * d) / f);

    const double den = 1.0 + w2 + a;
    if (std::fabs(den) < 1e-18)
        return false;

    Coefficients out;
    out.b0 = (g1 + w2 + b) / den;
    out.b1 = -2.0 * (g1 - w2) / den;
    out.b2 = (g1 + w2 - b) / den;
    out.a1 = -2.0 * (1.0 - w2) / den;
    out.a2 = (1.0 + w2 - a) / den;
    if (!allFinite(out))
        return false;
    c = out;
    return true;
}

bool TzEq::designBellMatched(double gainDb, double qe, double f0, double rate, Coefficients& c)
{
    const double w0 = twoPi * f0 / rate;
    const double g = std::pow(10.0, gainDb / 20.0);
    const double zeta = 1.0 / (2.0 * std::sqrt(g) * qe);

    // Poles of the analogue bell, mapped by impulse invariance.
    const double decay = std::exp(-zeta * w0);
    const double a1 = zeta <= 1.0 ? -2.0 * decay * std::cos(w0 * std::sqrt(1.0 - zeta * zeta))
                                  : -2.0 * decay * std::cosh(w0 * std::sqrt(zeta * zeta - 1.0));
    const double a2 = std::exp(-2.0 * zeta * w0);

    const double s = std::sin(0.5 * w0);
    const double phi1 = s * s;
    if (phi1 < 1e-12)
        return false;
    const double phi0 = 1.0 - phi1;

    const double aa0 = (1.0 + a1 + a2) * (1.0 + a1 + a2);
    const double aa1 = (1.0 - a1 + a2) * (1.0 - a1 + a2);
    const double aa2 = -4.0 * a2;

    const double gg = g * g;
    const double r1 = (phi0 * aa0 + phi1 * aa1 + 4.0 * phi0 * phi1 * aa2) * gg;
    const double r2 = (aa1 - aa0 + 4.0 * (phi0 - phi1) * aa2) * gg;

    const double bb0 = aa0;
    const double bb2 = (r1 - phi1 * r2 - bb0) / (4.0 * phi1 * phi1);
    const double bb1 = r2 + bb0 + 4.0 * (phi1 - phi0) * bb2;

    if (bb1 < 0.0)
        return false;
    const double w = 0.5 * (std::sqrt(bb0) + std::sqrt(bb1));
    if (w * w + bb2 < 0.0)
        return false;
    Coefficients out;
    out.b0 = 0.5 * (w + std::sqrt(w * w + bb2));
    if (out.b0 <= 1e-12 || !std::isfinite(out.b0))
        return false;
    out.b1 = 0.5 * (std::sqrt(bb0) - std::sqrt(bb1));
    out.b2 = -bb2 / (4.0 * out.b0);
    out.a1 = a1;
    out.a2 = a2;
    if (!allFinite(out))
        return false;
    c = out;
    return true;
}

bool TzEq::designBellCookbook(double gainDb, double qe, double f0, double rate, Coefficients& c)
{
    const double w0 = twoPi * f0 / rate;
    const double a = std::pow(10.0, gainDb / 40.0);
    const double alpha = std::sin(w0) / (2.0 * qe);
    const double cosW = std::cos(w0);
    const double a0 = 1.0 + alpha / a;
    Coefficients out;
    out.b0 = (1.0 + alpha * a) / a0;
    out.b1 = -2.0 * cosW / a0;
    out.b2 = (1.0 - alpha * a) / a0;
    out.a1 = -2.0 * cosW / a0;
    out.a2 = (1.0 - alpha / a) / a0;
    if (!allFinite(out))
        return false;
    c = out;
    return true;
}

bool TzEq::designShelf(bool highShelf, double gainDb, double qe, double f0, double rate, Coefficients& c)
{
    const double w0 = twoPi * f0 / rate;
    const double a = std::pow(10.0, gainDb / 40.0);
    const double alpha = std::sin(w0) / (2.0 * qe);
    const double cw = std::cos(w0);
    const double s = 2.0 * std::sqrt(a) * alpha;
    const double ap = a + 1.0;
    const double am = a - 1.0;

    double b0, b1, b2, a0, a1, a2;
    if (highShelf)
    {
        b0 = a * (ap + am * cw + s);
        b1 = -2.0 * a * (am + ap * cw);
        b2 = a * (ap + am * cw - s);
        a0 = ap - am * cw + s;
        a1 = 2.0 * (am - ap * cw);
        a2 = ap - am * cw - s;
    }
    else
    {
        b0 = a * (ap - am * cw + s);
        b1 = 2.0 * a * (am - ap * cw);
        b2 = a * (ap - am * cw - s);
        a0 = ap + am * cw + s;
        a1 = -2.0 * (am + ap * cw);
        a2 = ap + am * cw - s;
    }
    Coefficients out;
    out.b0 = b0 / a0;
    out.b1 = b1 / a0;
    out.b2 = b2 / a0;
    out.a1 = a1 / a0;
    out.a2 = a2 / a0;
    if (!allFinite(out))
        return false;
    c = out;
    return true;
}

void TzEq::prepare(double hostSampleRate)
{
    rate = 2.0 * hostSampleRate;
    for (auto& stage : stages)
        stage.configure(omvipccn::sharedNE5534Curve(19.0), rate, false);
    for (auto& section : sections)
        section.clear();
    upHistory.fill(0.0f);
    downHistory.fill(0.0f);
    upWriteIndex = 0;
    downWriteIndex = 0;
    for (int band = 0; band < 4; ++band)
        recomputeBand(band);
}

void TzEq::recomputeBand(int band)
{
    if (band < 0 || band >= 4)
        return;
    const Band& settings = bands[static_cast<std::size_t>(band)];
    Section& section = sections[static_cast<std::size_t>(band)];

    // A band at 0 dB is an exact pass-through; so is one with settings no filter can be built from.
    Coefficients c;
    const float absGain = std::fabs(settings.gainDb);
    const bool usable = std::isfinite(settings.gainDb) && std::isfinite(settings.freqHz) &&
                        std::isfinite(settings.q) && settings.freqHz > 0.0f && rate > 0.0 &&
                        std::isfinite(rate);
    if (usable && !(absGain < 0.001f))
    {
        const double gainDb = settings.gainDb;
        // The Q rises with the gain: 1.7 times the set value at +-18 dB.
        const float gainTimesScale = absGain * qScale;
        const double qe = std::max(0.2, (static_cast<double>(gainTimesScale) / 18.0 + 1.0) * settings.q);
        const double f0 = std::min(static_cast<double>(settings.freqHz), 0.49 * rate);

        bool designed = false;
        if (settings.type == 0 || settings.type == 2)
            designed = designShelf(settings.type == 2, gainDb, qe, f0, rate, c);
        else
            designed = designBellNyquist(gainDb, qe, f0, rate, c) ||
                       designBellMatched(gainDb, qe, f0, rate, c) ||
                       designBellCookbook(gainDb, qe, f0, rate, c);
        if (!designed)
            c = Coefficients{};
    }
    section.b0 = c.b0;
    section.b1 = c.b1;
    section.b2 = c.b2;
    section.a1 = c.a1;
    section.a2 = c.a2;
}

void TzEq::pushDown(float z)
{
    downWriteIndex = (downWriteIndex == 0 ? static_cast<int>(prototypeTaps) : downWriteIndex) - 1;
    downHistory[static_cast<std::size_t>(downWriteIndex)] = z;
    downHistory[static_cast<std::size_t>(downWriteIndex) + prototypeTaps] = z;
}

float TzEq::processSample(float x)
{
    // A NaN or infinite sample is taken as silence so that nothing non-finite enters the filter memory.
    if (!std::isfinite(x))
        x = 0.0f;

    upWriteIndex = (upWriteIndex == 0 ? static_cast<int>(phase0Taps) : upWriteIndex) - 1;
    upHistory[static_cast<std::size_t>(upWriteIndex)] = x;
    upHistory[static_cast<std::size_t>(upWriteIndex) + phase0Taps] = x;
    const float* in = upHistory.data() + upWriteIndex; // in[j] = x[n - j]

    // Zero-stuffed input filtered by 2 h: p is the earlier, r the later of the two 2x-rate samples.
    const float p = dot(phase0Span.data(), in, upSpan);
    const float r = dot(phase1Span.data(), in, upSpan);

    // The decimator's sum over the 2x-rate samples already there, ready before the chain's output is.
    const float older = dot(olderSpan.data(), downHistory.data() + downWriteIndex, downSpan);

    // Each band takes the earlier sample and then the later one, exactly as two passes through the chain
    // would, but with the two samples side by side so that their work overlaps.
    float earlier = p;
    float later = r;
    for (std::size_t band = 0; band < 4; ++band)
    {
        Section& section = sections[band];
        omvipccn::PccnOpAmpBaked& stage = stages[band];
        earlier = stage.processSample(static_cast<float>(section.process(static_cast<double>(earlier))));
        later = stage.processSample(static_cast<float>(section.process(static_cast<double>(later))));
    }

    // Decimate: filter the 2x-rate output by h and keep the sample aligned with the earlier one.
    const float out = older + prototype[0] * earlier;
    pushDown(earlier);
    pushDown(later);
    return out;
}

} // namespace omvitz
