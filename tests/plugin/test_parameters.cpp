#include "processor/TZStripProcessor.h"

#include <gtest/gtest.h>

namespace
{
struct ProcessorFixture : testing::Test
{
    const juce::ScopedJuceInitialiser_GUI juce;
    TZStripProcessor processor;

    juce::RangedAudioParameter& parameter(const char* id) { return *processor.state.getParameter(id); }
};
} // namespace

TEST_F(ProcessorFixture, MappingsMeetTheirKnots)
{
    struct Case
    {
        const char* id;
        float normalised;
        float value;
    };
    const Case cases[] = {
        {"gateThr", 0.5f, -5.0f},
        {"gateThr", 0.0f, -25.0f},
        {"gateThr", 1.0f, 15.0f},
        {"compRatio", 0.875f, 12.5f},
        {"compRatio", 0.25f, 2.0f},
        {"fader", 0.78f, 0.0f},
        {"fader", 0.0f, -60.0f},
        {"fader", 0.44f, -20.0f},
        {"compRel", 0.95f, 3000.0f},
        {"compRel", 0.5f, 300.0f},
        {"compRel", 0.975f, 3150.0f},
        {"inGain", 0.0f, 20.0f},
        {"inGain", 0.33f, 30.0f},
        {"inGain", 0.55f, 40.0f},
        {"inGain", 0.82f, 50.0f},
        {"inGain", 1.0f, 70.0f},
        {"hpfHz", 0.5f, 100.0f},
        {"lpfHz", 0.5f, 12000.0f},
        {"m1Q", 0.5f, 2.0f},
        {"m2Q", 0.5f, 2.0f},
        {"lineGain", 0.75f, 9.0f},
        {"gateRel", 0.5f, 300.0f},
        {"gateHyst", 1.0f / 3.0f, 10.0f},
        {"loFreq", 5.0f / 6.0f, 240.0f},
        {"outTrim", 0.25f, -10.0f},
        {"compMkp", 2.0f / 3.0f, 18.0f},
    };
    for (const auto& c : cases)
    {
        auto& p = parameter(c.id);
        const float tolerance = 1e-4f * std::max(1.0f, std::abs(c.value)) + 2e-3f;
        EXPECT_NEAR(p.convertFrom0to1(c.normalised), c.value, tolerance) << c.id << " at " << c.normalised;
        EXPECT_NEAR(p.convertTo0to1(c.value), c.normalised, 1e-4f) << c.id << " for " << c.value;
    }
}

TEST_F(ProcessorFixture, ValueTexts)
{
    struct Case
    {
        const char* id;
        float normalised;
        const char* text;
    };
    const Case cases[] = {
        {"fader", 0.78f, "0.00"},
        {"compRatio", 0.875f, "12.50"},
        {"gateThr", 0.5f, "-5.00"},
        {"grComp", 1.0f, "-99.0 dB"},
        {"grGate", 0.99995f, "-99.0 dB"},
        {"grComp", 0.5f, "-6.0 dB"},
        {"grComp", 0.0f, "0.0 dB"},
        {"mInPeak", 1.0f, "0.0 dB"},
        {"mOutRms", 0.0f, "-60.0 dB"},
        {"mInRms", 0.5f, "-30.0 dB"},
        {"phase", 1.0f, "On"},
        {"gateMode", 1.0f, "Gate"},
        {"linkMode", 0.0f, "Dual"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parameter(c.id).getText(c.normalised, 64), juce::String(c.text)) << c.id;
}

TEST_F(ProcessorFixture, FiftyThreeParametersInHostOrderWithTheirAttributes)
{
    const auto& all = processor.getParameters();
    ASSERT_EQ(all.size(), 53);
    for (size_t i = 0; i < omvitz::controlIds.size(); ++i)
    {
        auto* p = dynamic_cast<juce::RangedAudioParameter*>(all[int(i)]);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->getParameterID(), juce::String(omvitz::controlIds[i]));
        EXPECT_TRUE(p->isAutomatable());
        EXPECT_EQ(p->getVersionHint(), 1);
    }
    using Category = juce::AudioProcessorParameter::Category;
    const std::pair<Category, int> meters[] = {{Category::compressorLimiterGainReductionMeter, 1},
                                               {Category::expanderGateGainReductionMeter, 1},
                                               {Category::inputMeter, 2},
                                               {Category::inputMeter, 2},
                                               {Category::outputMeter, 2},
                                               {Category::outputMeter, 2}};
    for (size_t i = 0; i < omvitz::meterIds.size(); ++i)
    {
        auto* p = dynamic_cast<juce::RangedAudioParameter*>(all[int(omvitz::controlIds.size() + i)]);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->getParameterID(), juce::String(omvitz::meterIds[i]));
        EXPECT_EQ(p->getCategory(), meters[i].first);
        EXPECT_EQ(p->getVersionHint(), meters[i].second);
        EXPECT_FALSE(p->isAutomatable());
        EXPECT_FALSE(p->isMetaParameter());
        EXPECT_EQ(p->getDefaultValue(), 0.0f);
    }
    EXPECT_EQ(parameter("fader").getDefaultValue(), parameter("fader").convertTo0to1(0.0f));
    EXPECT_NEAR(parameter("fader").getDefaultValue(), 0.78f, 1e-6f);
}

TEST_F(ProcessorFixture, DefaultsReadIntoTheRecord)
{
    const auto p = processor.readParams();
    EXPECT_TRUE(p.lineSelected);
    EXPECT_EQ(p.lineGainDb, 0.0f);
    EXPECT_EQ(p.micGainDb, 20.0f);
    EXPECT_FALSE(p.hpfOn);
    EXPECT_FALSE(p.lpfOn);
    EXPECT_EQ(p.gateMode, 0);
    EXPECT_FALSE(p.compOn);
    EXPECT_TRUE(p.compAuto);
    EXPECT_TRUE(p.eqOn);
    EXPECT_FALSE(p.eqPreDyn);
    EXPECT_FALSE(p.eqSidechain);
    EXPECT_TRUE(p.loShelf);
    EXPECT_TRUE(p.hiShelf);
    EXPECT_NEAR(p.faderDb, 0.0f, 1e-5f);
    EXPECT_EQ(p.outTrimDb, 0.0f);
    EXPECT_EQ(p.linkMode, 0);
    EXPECT_EQ(p.compThrDb, 20.0f);
    EXPECT_EQ(p.compRatio, 4.0f);
    EXPECT_EQ(p.gateHystDb, 2.0f);
    EXPECT_EQ(p.hiFreq, 7000.0f);
}

TEST_F(ProcessorFixture, MicLineSwitchIsInverted)
{
    parameter("inLine").setValueNotifyingHost(1.0f);
    EXPECT_FALSE(processor.readParams().lineSelected);
    parameter("gateMode").setValueNotifyingHost(1.0f);
    parameter("linkMode").setValueNotifyingHost(1.0f);
    EXPECT_EQ(processor.readParams().gateMode, 2);
    EXPECT_EQ(processor.readParams().linkMode, 1);
}

TEST_F(ProcessorFixture, IdentityBusesAndPrograms)
{
    EXPECT_EQ(processor.getName(), juce::String("OMVI TZ Strip"));
    ASSERT_EQ(processor.getBusCount(true), 2);
    ASSERT_EQ(processor.getBusCount(false), 1);
    EXPECT_EQ(processor.getBus(true, 0)->getName(), juce::String("Input"));
    EXPECT_EQ(processor.getBus(true, 0)->getDefaultLayout(), juce::AudioChannelSet::stereo());
    EXPECT_TRUE(processor.getBus(true, 0)->isEnabledByDefault());
    EXPECT_EQ(processor.getBus(true, 1)->getName(), juce::String("Sidechain"));
    EXPECT_EQ(processor.getBus(true, 1)->getDefaultLayout(), juce::AudioChannelSet::mono());
    EXPECT_FALSE(processor.getBus(true, 1)->isEnabledByDefault());
    EXPECT_EQ(processor.getBus(false, 0)->getName(), juce::String("Output"));
    EXPECT_EQ(processor.getNumPrograms(), 1);
    EXPECT_EQ(processor.getCurrentProgram(), 0);
    EXPECT_FALSE(processor.acceptsMidi());
    EXPECT_FALSE(processor.producesMidi());
    EXPECT_EQ(processor.getTailLengthSeconds(), 0.0);
    EXPECT_EQ(processor.getLatencySamples(), 0); // reported once prepared
}
