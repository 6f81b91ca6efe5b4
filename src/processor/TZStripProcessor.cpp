#include "processor/TZStripProcessor.h"

#include <cmath>

namespace
{
constexpr float silentDb = -100.0f;
constexpr double levelTimeConstant = 0.3; // seconds, for the RMS meters

float gainReductionEncoding(float db)
{
    return db < 0.0f ? juce::jlimit(0.0f, 1.0f, 1.0f - std::pow(10.0f, db / 20.0f)) : 0.0f;
}

float levelEncoding(float db)
{
    return juce::jlimit(0.0f, 1.0f, (db + 60.0f) / 60.0f);
}

float peakDb(float peak)
{
    return peak > 0.000001f ? 20.0f * std::log10(peak) : silentDb;
}

float meanSquareDb(double meanSquare)
{
    return meanSquare > 1e-10 ? static_cast<float>(10.0 * std::log10(meanSquare)) : silentDb;
}
} // namespace

TZStripProcessor::TZStripProcessor()
    : AudioProcessor(BusesProperties()
                         .withInput("Input", juce::AudioChannelSet::stereo(), true)
                         .withOutput("Output", juce::AudioChannelSet::stereo(), true)
                         .withInput("Sidechain", juce::AudioChannelSet::mono(), false)),
      state(*this, nullptr, "PARAMS", createLayout())
{
    for (size_t i = 0; i < controls.size(); ++i)
    {
        controls[i] = state.getRawParameterValue(omvitz::controlIds[i]);
        const auto* parameter = state.getParameter(omvitz::controlIds[i]);
        defaults[i] = parameter->convertFrom0to1(parameter->getDefaultValue());
    }
    for (size_t i = 0; i < meters.size(); ++i)
        meters[i] = dynamic_cast<juce::AudioParameterFloat*>(state.getParameter(omvitz::meterIds[i]));
    loadStartupDefault();
}

omvitz::TZParams TZStripProcessor::readParams() const
{
    using C = omvitz::Control;
    // A value that is not a number (a broken state or host) reads as the parameter's default.
    const auto value = [this](C c)
    {
        const auto i = static_cast<size_t>(c);
        const float v = controls[i]->load();
        return std::isfinite(v) ? v : defaults[i];
    };
    const auto on = [&](C c) { return value(c) > 0.5f; };
    const auto index = [&](C c) { return static_cast<int>(value(c)); };

    omvitz::TZParams p;
    p.micGainDb = value(C::inGain);
    p.lineGainDb = value(C::lineGain);
    p.phaseInvert = on(C::phase);
    p.lineSelected = !on(C::inLine);
    p.pad = on(C::inPad);
    p.hpfHz = value(C::hpfHz);
    p.hpfOn = on(C::hpfOn);
    p.lpfHz = value(C::lpfHz);
    p.lpfOn = on(C::lpfOn);
    p.gateMode = index(C::gateMode);
    p.gateThrDb = value(C::gateThr);
    p.gateRangeDb = value(C::gateRange);
    p.gateRelMs = value(C::gateRel);
    p.gateHystDb = value(C::gateHyst);
    p.gateFast = on(C::gateFast);
    p.gateInvert = on(C::gateInv);
    p.gateKey = on(C::gateKey);
    p.gateThrPull = on(C::gateThrPull);
    p.compOn = on(C::compOn);
    p.compThrDb = value(C::compThr);
    p.compRatio = value(C::compRatio);
    p.compRelMs = value(C::compRel);
    p.compMakeupDb = value(C::compMkp);
    p.compFast = on(C::compFast);
    p.compAuto = on(C::compAuto);
    p.compThrPull = on(C::compThrPull);
    p.eqOn = on(C::eqOn);
    p.eqSidechain = on(C::eqSidechain);
    p.eqPreDyn = on(C::eqPreDyn);
    p.loFreq = value(C::loFreq);
    p.loGainDb = value(C::loGain);
    p.loShelf = on(C::loShelf);
    p.loHiQ = on(C::loHiQ);
    p.m1Freq = value(C::m1Freq);
    p.m1GainDb = value(C::m1Gain);
    p.m1Q = value(C::m1Q);
    p.m2Freq = value(C::m2Freq);
    p.m2GainDb = value(C::m2Gain);
    p.m2Q = value(C::m2Q);
    p.hiFreq = value(C::hiFreq);
    p.hiGainDb = value(C::hiGain);
    p.hiShelf = on(C::hiShelf);
    p.hiHiQ = on(C::hiHiQ);
    p.faderDb = value(C::fader);
    p.outTrimDb = value(C::outTrim);
    p.linkMode = index(C::linkMode);
    return p;
}

void TZStripProcessor::prepareToPlay(double newSampleRate, int)
{
    sampleRate = newSampleRate;
    strips[0].prepare(sampleRate);
    strips[1].prepare(sampleRate);
    strips[0].partner = &strips[1];
    strips[1].partner = &strips[0];
    if (strips[0].latencySamples != getLatencySamples())
        setLatencySamples(strips[0].latencySamples);
}

bool TZStripProcessor::isBusesLayoutSupported(const BusesLayout& layouts) const
{
    const auto output = layouts.getMainOutputChannelSet();
    if (output != juce::AudioChannelSet::mono() && output != juce::AudioChannelSet::stereo())
        return false;
    return layouts.getMainInputChannelSet() == output;
}

void TZStripProcessor::processBlock(juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    juce::ScopedNoDenormals noDenormals;
    const int numChannels = buffer.getNumChannels();
    const int numSamples = buffer.getNumSamples();
    if (numChannels == 0 || numSamples == 0)
        return;

    auto p = readParams();
    const bool forceMono = controls[static_cast<size_t>(omvitz::Control::forceMono)]->load() > 0.5f;

    if (getBusCount(true) == 0)
        return;
    const int n = std::min(numChannels, getChannelCountOfBus(true, 0));
    if (n <= 0)
        return;

    float* left = buffer.getWritePointer(0);
    float* right = n >= 2 ? buffer.getWritePointer(1) : nullptr;
    const bool summing = right != nullptr && forceMono;
    if (right == nullptr || summing)
        p.linkMode = 0;
    strips[0].applyParams(p);
    if (!summing)
        strips[1].applyParams(p);

    const float* key = numChannels > n ? buffer.getReadPointer(n) : nullptr;

    BlockStats stats;
    for (int i = 0; i < numSamples; ++i)
    {
        const float k = key != nullptr ? key[i] : 0.0f;
        if (summing)
        {
            const float mid = (left[i] + right[i]) * 0.5f;
            const float y = strips[0].processSample(mid, k);
            left[i] = y;
            stats.add(mid, y);
            continue;
        }
        const float inL = left[i];
        left[i] = strips[0].processSample(inL, k);
        stats.add(inL, left[i]);
        if (right != nullptr)
        {
            const float inR = right[i];
            right[i] = strips[1].processSample(inR, k);
            stats.add(inR, right[i]);
        }
    }
    if (summing)
        buffer.copyFrom(1, 0, buffer, 0, 0, numSamples);

    publishMeters(stats, numSamples, summing || right == nullptr);
}

void TZStripProcessor::publishMeters(const BlockStats& stats, int numSamples, bool singleStrip)
{
    float compDb = strips[0].compReadingDb();
    float gateDb = strips[0].gateReadingDb();
    if (!singleStrip)
    {
        compDb = std::min(compDb, strips[1].compReadingDb());
        gateDb = std::min(gateDb, strips[1].gateReadingDb());
    }
    compGrDb = compDb;
    gateGrDb = gateDb;

    const double a = sampleRate > 0.0 ? 1.0 - std::exp(-(numSamples / sampleRate) / levelTimeConstant) : 0.0;
    const double inMeanSquare = stats.count > 0 ? stats.inSum / stats.count : 0.0;
    const double outMeanSquare = stats.count > 0 ? stats.outSum / stats.count : 0.0;
    rmsInState += (inMeanSquare - rmsInState) * a;
    rmsOutState += (outMeanSquare - rmsOutState) * a;

    inPeakDb = peakDb(stats.inPeak);
    inRmsDb = meanSquareDb(rmsInState);
    outPeakDb = peakDb(stats.outPeak);
    outRmsDb = meanSquareDb(rmsOutState);

    const float encoded[] = {gainReductionEncoding(compGrDb), gainReductionEncoding(gateGrDb),
                             levelEncoding(inPeakDb),         levelEncoding(inRmsDb),
                             levelEncoding(outPeakDb),        levelEncoding(outRmsDb)};
    for (size_t i = 0; i < meters.size(); ++i)
        if (meters[i] != nullptr)
            meters[i]->setValueNotifyingHost(encoded[i]);
}

juce::AudioProcessorEditor* TZStripProcessor::createEditor()
{
    return new juce::GenericAudioProcessorEditor(*this);
}

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new TZStripProcessor();
}
