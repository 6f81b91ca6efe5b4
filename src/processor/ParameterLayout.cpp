#include "processor/TZStripProcessor.h"

#include <cmath>
#include <utility>
#include <vector>

namespace
{
using Range = juce::NormalisableRange<float>;
using Layout = juce::AudioProcessorValueTreeState::ParameterLayout;
using Category = juce::AudioProcessorParameter::Category;
using C = omvitz::Control;
using M = omvitz::Meter;

juce::ParameterID parameterId(C c, int versionHint)
{
    return {omvitz::controlIds[static_cast<size_t>(c)], versionHint};
}

juce::ParameterID parameterId(M m, int versionHint)
{
    return {omvitz::meterIds[static_cast<size_t>(m)], versionHint};
}

// A range that interpolates linearly between knots: values[i] sits at normalised positions[i].
Range piecewise(std::vector<float> values, std::vector<float> positions)
{
    const auto fromNormalised = [values, positions](float, float, float p)
    {
        for (size_t i = 0; i + 1 < values.size(); ++i)
            if (p <= positions[i + 1])
                return values[i] +
                       (p - positions[i]) / (positions[i + 1] - positions[i]) * (values[i + 1] - values[i]);
        return values.back();
    };
    const auto toNormalised = [values, positions](float, float, float v)
    {
        for (size_t i = 0; i + 1 < values.size(); ++i)
            if (v <= values[i + 1])
                return positions[i] +
                       (v - values[i]) / (values[i + 1] - values[i]) * (positions[i + 1] - positions[i]);
        return 1.0f;
    };
    return Range(values.front(), values.back(), fromNormalised, toNormalised);
}

// Most knobs share this scale: six knots with the middle of the travel between the third and fourth.
Range sixPoint(std::vector<float> values)
{
    return piecewise(std::move(values), {0.0f, 1.0f / 6.0f, 1.0f / 3.0f, 2.0f / 3.0f, 5.0f / 6.0f, 1.0f});
}

// Mic gain, 20..70 dB, tighter towards the top.
Range micGainRange()
{
    const auto fromNormalised = [](float, float, float p)
    {
        if (p < 0.33f)
            return 20.0f + p / 0.33f * 10.0f;
        if (p < 0.55f)
            return 30.0f + (p - 0.33f) / 0.22f * 10.0f;
        if (p < 0.82f)
            return 40.0f + (p - 0.55f) / 0.27f * 10.0f;
        return 50.0f + (p - 0.82f) / 0.18f * 20.0f;
    };
    const auto toNormalised = [](float, float, float v)
    {
        if (v < 30.0f)
            return (v - 20.0f) / 10.0f * 0.33f;
        if (v < 40.0f)
            return 0.33f + (v - 30.0f) / 10.0f * 0.22f;
        if (v < 50.0f)
            return 0.55f + (v - 40.0f) / 10.0f * 0.27f;
        return 0.82f + (v - 50.0f) / 20.0f * 0.18f;
    };
    return Range(20.0f, 70.0f, fromNormalised, toNormalised);
}

Range linear(float start, float end)
{
    return Range(start, end, 0.0f, 1.0f);
}

Range skewed(float start, float end, float skew)
{
    return Range(start, end, 0.0f, skew);
}

juce::String gainReductionText(float v)
{
    const float db = v >= 0.9999f ? -99.0f : 20.0f * std::log10(std::max(1.0f - v, 0.0001f));
    return juce::String(db, 1) + " dB";
}

juce::String levelText(float v)
{
    return juce::String(60.0f * v - 60.0f, 1) + " dB";
}

void addFloat(Layout& layout, C id, const char* name, Range range, float defaultValue)
{
    layout.add(std::make_unique<juce::AudioParameterFloat>(
        parameterId(id, 1), name, range, defaultValue,
        juce::AudioParameterFloatAttributes().withStringFromValueFunction([](float v, int)
                                                                          { return juce::String(v, 2); })));
}

void addBool(Layout& layout, C id, const char* name, bool defaultValue)
{
    layout.add(std::make_unique<juce::AudioParameterBool>(parameterId(id, 1), name, defaultValue));
}

void addChoice(Layout& layout, C id, const char* name, juce::StringArray choices, int defaultIndex)
{
    layout.add(std::make_unique<juce::AudioParameterChoice>(parameterId(id, 1), name, choices, defaultIndex));
}

void addMeter(Layout& layout, M id, const char* name, Category category, int versionHint,
              juce::String (*text)(float))
{
    layout.add(std::make_unique<juce::AudioParameterFloat>(
        parameterId(id, versionHint), name, linear(0.0f, 1.0f), 0.0f,
        juce::AudioParameterFloatAttributes()
            .withCategory(category)
            .withAutomatable(false)
            .withMeta(false)
            .withStringFromValueFunction([text](float v, int) { return text(v); })));
}
} // namespace

juce::AudioProcessorValueTreeState::ParameterLayout TZStripProcessor::createLayout()
{
    Layout layout;
    addFloat(layout, C::inGain, "Mic Gain", micGainRange(), 20.0f);
    addFloat(layout, C::lineGain, "Line Gain", linear(-18.0f, 18.0f), 0.0f);
    addBool(layout, C::phase, "Phase Invert", false);
    addBool(layout, C::inLine, "Mic/Line C/O", false);
    addBool(layout, C::forceMono, "Force Mono", false);
    addBool(layout, C::inPad, "-15dB Pad", false);
    addFloat(layout, C::hpfHz, "HPF", skewed(31.5f, 315.0f, 0.488001794f), 31.5f);
    addBool(layout, C::hpfOn, "HPF On", false);
    addFloat(layout, C::lpfHz, "LPF", skewed(7500.0f, 18000.0f, 0.8180679f), 18000.0f);
    addBool(layout, C::lpfOn, "LPF On", false);
    addChoice(layout, C::gateMode, "Gate Mode", {"Off", "Expander", "Gate"}, 0);
    addFloat(layout, C::gateThr, "Gate Thr", sixPoint({-25.0f, -17.0f, -10.0f, 0.0f, 7.0f, 15.0f}), -10.0f);
    addFloat(layout, C::gateRange, "Gate Range", linear(0.0f, 50.0f), 40.0f);
    addFloat(layout, C::gateRel, "Gate Rel", piecewise({30.0f, 300.0f, 3000.0f}, {0.0f, 0.5f, 1.0f}), 300.0f);
    addFloat(layout, C::gateHyst, "Gate Hyst", sixPoint({0.0f, 5.0f, 10.0f, 15.0f, 20.0f, 25.0f}), 2.0f);
    addBool(layout, C::gateFast, "Gate Fast Atk", false);
    addBool(layout, C::gateInv, "Gate Invert/Duck", false);
    addBool(layout, C::gateKey, "Gate Ext Key", false);
    addBool(layout, C::gateThrPull, "Gate Thr Pull", false);
    addBool(layout, C::compOn, "Comp On", false);
    addFloat(layout, C::compThr, "Comp Thr", sixPoint({-10.0f, -4.0f, 2.0f, 8.0f, 14.0f, 20.0f}), 20.0f);
    addFloat(layout, C::compRatio, "Comp Ratio",
             piecewise({1.0f, 2.0f, 3.0f, 5.0f, 20.0f}, {0.0f, 0.25f, 0.5f, 0.75f, 1.0f}), 4.0f);
    addFloat(layout, C::compRel, "Comp Rel",
             piecewise({30.0f, 300.0f, 3000.0f, 3300.0f}, {0.0f, 0.5f, 0.95f, 1.0f}), 300.0f);
    addBool(layout, C::compFast, "Comp Fast Atk", false);
    addBool(layout, C::compAuto, "Comp Auto-Gain", true);
    addBool(layout, C::compThrPull, "Comp Thr Pull", false);
    addFloat(layout, C::compMkp, "Comp Makeup", sixPoint({0.0f, 6.0f, 12.0f, 18.0f, 24.0f, 30.0f}), 0.0f);
    addBool(layout, C::eqOn, "EQ On", true);
    addBool(layout, C::eqSidechain, "EQ to Sidechain", false);
    addBool(layout, C::eqPreDyn, "EQ Pre-Dyn", false);
    addFloat(layout, C::loFreq, "LF Freq", sixPoint({33.0f, 63.0f, 100.0f, 150.0f, 240.0f, 370.0f}), 100.0f);
    addFloat(layout, C::loGain, "LF Gain", linear(-18.0f, 18.0f), 0.0f);
    addBool(layout, C::loShelf, "LF Shelf", true);
    addBool(layout, C::loHiQ, "LF Hi-Q", false);
    addFloat(layout, C::m1Freq, "LMF Freq", sixPoint({190.0f, 360.0f, 580.0f, 870.0f, 1400.0f, 2000.0f}),
             580.0f);
    addFloat(layout, C::m1Gain, "LMF Gain", linear(-18.0f, 18.0f), 0.0f);
    addFloat(layout, C::m1Q, "LMF Q", skewed(0.3f, 9.0f, 0.4245418f), 1.0f);
    addFloat(layout, C::m2Freq, "HMF Freq", sixPoint({800.0f, 1400.0f, 2300.0f, 3600.0f, 5600.0f, 8700.0f}),
             3600.0f);
    addFloat(layout, C::m2Gain, "HMF Gain", linear(-18.0f, 18.0f), 0.0f);
    addFloat(layout, C::m2Q, "HMF Q", skewed(0.3f, 9.0f, 0.4245418f), 1.0f);
    addFloat(layout, C::hiFreq, "HF Freq", sixPoint({1500.0f, 3000.0f, 4700.0f, 7000.0f, 11000.0f, 17000.0f}),
             7000.0f);
    addFloat(layout, C::hiGain, "HF Gain", linear(-18.0f, 18.0f), 0.0f);
    addBool(layout, C::hiShelf, "HF Shelf", true);
    addBool(layout, C::hiHiQ, "HF Hi-Q", false);
    addFloat(layout, C::fader, "Fader",
             piecewise({-60.0f, -40.0f, -30.0f, -20.0f, -10.0f, 0.0f, 10.0f},
                       {0.0f, 0.18f, 0.3f, 0.44f, 0.6f, 0.78f, 1.0f}),
             0.0f);
    addFloat(layout, C::outTrim, "Output Trim", linear(-20.0f, 20.0f), 0.0f);
    addChoice(layout, C::linkMode, "Stereo Mode", {"Dual", "Stereo"}, 0);
    addMeter(layout, M::grComp, "Comp Gain Reduction", Category::compressorLimiterGainReductionMeter, 1,
             gainReductionText);
    addMeter(layout, M::grGate, "Gate Gain Reduction", Category::expanderGateGainReductionMeter, 1,
             gainReductionText);
    addMeter(layout, M::mInPeak, "Input Peak", Category::inputMeter, 2, levelText);
    addMeter(layout, M::mInRms, "Input RMS", Category::inputMeter, 2, levelText);
    addMeter(layout, M::mOutPeak, "Output Peak", Category::outputMeter, 2, levelText);
    addMeter(layout, M::mOutRms, "Output RMS", Category::outputMeter, 2, levelText);
    return layout;
}
