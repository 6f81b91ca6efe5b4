#include "dsp/TzChannelStrip.h"

#include <algorithm>
#include <cmath>

namespace omvitz
{
namespace
{
constexpr float padDown = 0.0316228f; // -30 dB before the input amplifier
constexpr float padUp = 31.6228f;     // and +30 dB after it
constexpr float transformerFloor = 1e-25f;
constexpr float autoMakeupCoef = 0.0006f;
constexpr float outputTiltAmount = 0.003f;
constexpr double defaultSampleRate = 48000.0;

float dbToGain(float db)
{
    return std::pow(10.0f, db / 20.0f);
}

float onePoleCoef(double seconds, double sampleRate)
{
    return static_cast<float>(1.0 - std::exp(-1.0 / (seconds * sampleRate)));
}

float finiteOrZero(float x)
{
    return std::isfinite(x) ? x : 0.0f;
}
} // namespace

void TzChannelStrip::prepare(double newSampleRate)
{
    // The first prepare in the process bakes the shared curves, side by side; later ones find them ready.
    omvipccn::bakeSharedCurves();

    // A host that reports no usable rate gets the strip's default rather than coefficients from a division
    // by zero.
    sampleRate = std::isfinite(newSampleRate) && newSampleRate > 0.0 ? newSampleRate : defaultSampleRate;
    supply.prepare(sampleRate);

    transformer.prepare(sampleRate);

    const auto& curve19 = omvipccn::sharedNE5534Curve(19.0);
    const auto& curve16 = omvipccn::sharedNE5534Curve(16.0);
    micAmp.configure(curve19, sampleRate, false);
    lineAmp.configure(curve16, sampleRate, false);
    eqAmp.configure(curve19, sampleRate, false);
    outputAmp.configure(curve16, sampleRate, true);

    smoothCoef = onePoleCoef(0.01, sampleRate);
    outLfCoef = onePoleCoef(0.18, sampleRate);
    ironLpCoef = static_cast<float>(std::clamp(1.0 - 0.028 * 48000.0 / sampleRate, 0.0, 1.0));

    vcaCurve = &omvipccn::sharedVcaCurve();
    vcaPrevIn = 0.0;
    dynamics.prepare(sampleRate);

    eq.prepare(sampleRate);
    eqDelay.fill(0.0f);
    eqDelayIndex = 0;

    hpf.clear();
    lpf.clear();
    updateFilters();

    latencySamples = routingDelay;
}

void TzChannelStrip::applyParams(const TZParams& p)
{
    inGainTarget = dbToGain(p.lineSelected ? p.lineGainDb : p.micGainDb);
    if (p.lineSelected != lineSelected)
        inGain = inGainTarget;
    lineSelected = p.lineSelected;

    polarity = p.phaseInvert ? -1.0f : 1.0f;
    padGain = p.pad ? padDown : 1.0f;
    padMakeup = p.pad ? padUp : 1.0f;

    faderGainTarget = dbToGain(p.faderDb);
    trimGainTarget = dbToGain(p.outTrimDb);

    if (p.hpfOn && !hpfOn)
        hpf.clear();
    if (p.lpfOn && !lpfOn)
        lpf.clear();
    hpfOn = p.hpfOn;
    hpfHz = p.hpfHz;
    lpfOn = p.lpfOn;
    lpfHz = p.lpfHz;
    updateFilters();

    dynamics.applyParams(p);
    gateKey = p.gateKey;

    compAuto = p.compAuto;
    makeupDb = p.compMakeupDb;
    makeupGain = dbToGain(makeupDb);

    eqOn = p.eqOn;
    eqSidechain = p.eqSidechain;
    eqPreDyn = p.eqPreDyn;
    const auto outerQ = [](bool hiQ) { return hiQ ? 2.0f : 0.71f; };
    eq.bands[0] = {p.loShelf ? 0 : 1, p.loFreq, p.loGainDb, outerQ(p.loHiQ)};
    eq.bands[1] = {1, p.m1Freq, p.m1GainDb, p.m1Q};
    eq.bands[2] = {1, p.m2Freq, p.m2GainDb, p.m2Q};
    eq.bands[3] = {p.hiShelf ? 2 : 1, p.hiFreq, p.hiGainDb, outerQ(p.hiHiQ)};
    for (int band = 0; band < 4; ++band)
        eq.recomputeBand(band);
}

void TzChannelStrip::updateFilters()
{
    const double nyquistGuard = 0.49 * sampleRate;
    hpf.setHighPass(std::min(std::clamp(static_cast<double>(hpfHz), 20.0, 320.0), nyquistGuard), sampleRate);
    lpf.setLowPass(std::min(std::clamp(static_cast<double>(lpfHz), 6000.0, 19000.0), nyquistGuard),
                   sampleRate);
}

float TzChannelStrip::processSample(float x, float key)
{
    // A non-finite sample from the host is heard as silence; it must not reach any running state.
    x = finiteOrZero(x);
    key = finiteOrZero(key);

    inGain += (inGainTarget - inGain) * smoothCoef;
    faderGain += (faderGainTarget - faderGain) * smoothCoef;
    trimGain += (trimGainTarget - trimGain) * smoothCoef;

    float s = inputStage(polarity * padGain * x);

    if (hpfOn)
        s = static_cast<float>(hpf.process(s));
    if (lpfOn)
        s = static_cast<float>(lpf.process(s));

    float detector = 0.0f;
    if (eqSidechain)
    {
        const float main = delayed(s);
        if (gateKey)
            detector = key;
        else
            detector = eqOn ? eq.processSample(s) : main;
        s = main;
    }
    else if (eqPreDyn)
    {
        s = equaliserStage(s);
        detector = gateKey ? key : s;
    }
    else
    {
        detector = gateKey ? key : s;
    }

    const DynamicsGain gain =
        dynamics.process(detector, dynamics.stereoLinked && partner ? &partner->dynamics : nullptr);
    if (gain.totalDb != 0.0f)
        s *= TzDynamics::dbToGain(gain.totalDb);
    s = vcaColour(s, gain.totalDb);
    s = makeup(s, gain.compDb);

    if (!eqSidechain && !eqPreDyn)
        s = equaliserStage(s);

    s *= faderGain;
    s = outputAmp.processSample(s) * trimGain;

    outLfState += (s - outLfState) * outLfCoef;
    const float y = supply.process(s + outputTiltAmount * outLfState);
    return finiteOrZero(y);
}

float TzChannelStrip::inputStage(float s)
{
    const float n = inputNoise();
    if (lineSelected)
        return lineAmp.processSample(s) * inGain * padMakeup + n * inGain;

    float e = transformer.step(s);
    if (!std::isfinite(e))
    {
        transformer.clear();
        e = s;
    }
    if (std::fabs(e) < transformerFloor)
        e = 0.0f;
    ironLp += ironLpCoef * (e - ironLp);
    // The mic gain drives the amplifier and is divided out again: it sets the saturation, not the level.
    const float drive = inGain * 0.1f;
    return micAmp.processSample(ironLp * drive) / drive * padMakeup + n;
}

float TzChannelStrip::inputNoise()
{
    inputNoiseSeed = inputNoiseSeed * 1664525u + 1013904223u;
    const float r = static_cast<float>(static_cast<std::int32_t>(inputNoiseSeed)) * 4.656612873077393e-10f;
    inputNoiseLp += (r - inputNoiseLp) * 0.0045f;
    return (5.0f * inputNoiseLp + 0.78f * r) * 5.2e-8f;
}

float TzChannelStrip::delayed(float s)
{
    const float out = eqDelay[eqDelayIndex];
    eqDelay[eqDelayIndex] = s;
    if (++eqDelayIndex == routingDelay)
        eqDelayIndex = 0;
    return out;
}

// The equaliser in the main path, or its matching delay when it is switched out, then its amplifier.
float TzChannelStrip::equaliserStage(float s)
{
    const float equalised = eq.processSample(s);
    const float bypassed = delayed(s);
    return eqAmp.processSample(eqOn ? equalised : bypassed);
}

// The gain cell's colour for the current reduction, blended between the two nearest baked breakpoints and
// played with first-order antiderivative anti-aliasing.
float TzChannelStrip::vcaColour(float s, float reductionDb)
{
    const auto& curve = *vcaCurve;
    const auto& points = curve.gainPoints;
    const double h = std::clamp(static_cast<double>(s), -curve.range, curve.range);
    const double a = std::min(std::fabs(static_cast<double>(reductionDb)), points.back());
    int k = 0;
    while (k < omvipccn::VcaCurve::numPoints - 2 && a > points[k + 1])
        ++k;
    const double width = points[k + 1] - points[k];
    const double v = width < 1e-9 ? 0.0 : (a - points[k]) / width;

    const auto blend = [&](const auto& tables, double at)
    {
        const double lower = curve.lk(tables[k], at);
        return lower + v * (curve.lk(tables[k + 1], at) - lower);
    };
    const double p = vcaPrevIn;
    const double e = std::fabs(h - p) > 1e-4 ? (blend(curve.integral, h) - blend(curve.integral, p)) / (h - p)
                                             : blend(curve.deviation, 0.5 * (p + h));
    vcaPrevIn = h;
    return finiteOrZero(static_cast<float>(static_cast<double>(s) + e));
}

float TzChannelStrip::makeup(float s, float compReductionDb)
{
    if (!dynamics.compOn)
    {
        autoGainDb = 0.0f;
        return s;
    }
    if (!compAuto)
        return s * makeupGain;
    autoGainDb += (-compReductionDb - autoGainDb) * autoMakeupCoef;
    return s * dbToGain(autoGainDb + makeupDb);
}

} // namespace omvitz
