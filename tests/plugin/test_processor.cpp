#include "processor/TZStripProcessor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>

// Every heap allocation in this test binary passes through here, so a test can count the ones made while
// the audio callback runs.
namespace
{
std::atomic<bool> countingAllocations{false};
std::atomic<int> allocationCount{0};
} // namespace

void* operator new(std::size_t size)
{
    if (countingAllocations.load(std::memory_order_relaxed))
        allocationCount.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace
{
constexpr double rate = 48000.0;
constexpr int blockSize = 480;

struct Processor : testing::Test
{
    const juce::ScopedJuceInitialiser_GUI juce;
    TZStripProcessor processor;
    juce::AudioBuffer<float> buffer{2, blockSize};
    juce::MidiBuffer midi;
    double phase = 0.0;

    void SetUp() override { processor.prepareToPlay(rate, blockSize); }

    void set(const char* id, float plainValue)
    {
        auto* p = processor.state.getParameter(id);
        p->setValueNotifyingHost(p->convertTo0to1(plainValue));
    }

    float meter(const char* id) { return processor.state.getParameter(id)->getValue(); }

    void runSine(double amplitude, int blocks, double hz = 1000.0)
    {
        for (int b = 0; b < blocks; ++b)
        {
            for (int i = 0; i < blockSize; ++i, phase += 2.0 * 3.141592653589793 * hz / rate)
                for (int c = 0; c < 2; ++c)
                    buffer.setSample(c, i, static_cast<float>(amplitude * std::sin(phase)));
            processor.processBlock(buffer, midi);
        }
    }
};
} // namespace

TEST_F(Processor, PublishesSilenceAsTheFloor)
{
    runSine(0.0, 200);
    EXPECT_EQ(processor.inPeakDb.load(), -100.0f);
    EXPECT_EQ(processor.inRmsDb.load(), -100.0f);
    EXPECT_EQ(processor.outRmsDb.load(), -100.0f);
    EXPECT_LE(processor.outPeakDb.load(), -100.0f + 0.0f) << "only a noise floor far below -60 dB";
    EXPECT_EQ(processor.compGrDb.load(), 0.0f);
    EXPECT_EQ(processor.gateGrDb.load(), 0.0f);
    for (const char* id : {"grComp", "grGate", "mInPeak", "mInRms", "mOutPeak", "mOutRms"})
        EXPECT_EQ(meter(id), 0.0f) << id;
}

// A full-scale sine peaks at 0 dBFS and has an RMS of -3.01 dBFS once the 300 ms average has settled.
TEST_F(Processor, PublishesAFullScaleSineWithTheMeterEncodings)
{
    runSine(1.0, 300); // three seconds: ten time constants of the RMS average
    const double rmsDb = 20.0 * std::log10(std::sqrt(0.5));
    EXPECT_NEAR(processor.inPeakDb.load(), 0.0f, 0.01f);
    EXPECT_NEAR(processor.inRmsDb.load(), rmsDb, 0.01);
    EXPECT_NEAR(processor.outPeakDb.load(), 0.0f, 0.5f);
    EXPECT_NEAR(processor.outRmsDb.load(), rmsDb, 0.5);
    EXPECT_NEAR(meter("mInPeak"), 1.0f, 0.001f);
    EXPECT_NEAR(meter("mInRms"), (rmsDb + 60.0) / 60.0, 0.001);
    EXPECT_NEAR(meter("mOutRms"), (processor.outRmsDb.load() + 60.0) / 60.0, 1e-5);
    EXPECT_NEAR(meter("mOutPeak"), std::min(1.0, (processor.outPeakDb.load() + 60.0) / 60.0), 1e-5);
}

TEST_F(Processor, RmsMeterFollowsThreeHundredMillisecondAverage)
{
    runSine(1.0, 300);
    runSine(0.0, 30); // 0.3 s of silence: the mean square falls to 1/e of its level
    EXPECT_NEAR(processor.inRmsDb.load(), 10.0 * std::log10(0.5 * std::exp(-1.0)), 0.01);
    EXPECT_EQ(processor.inPeakDb.load(), -100.0f);
}

TEST_F(Processor, ProcessBlockAllocatesNothing)
{
    set("compOn", 1.0f);
    set("gateMode", 1.0f);
    set("hpfOn", 1.0f);
    set("linkMode", 1.0f);
    runSine(0.5, 2);
    allocationCount = 0;
    countingAllocations = true;
    runSine(0.5, 20);
    set("forceMono", 1.0f);
    runSine(0.5, 5);
    countingAllocations = false;
    EXPECT_EQ(allocationCount.load(), 0);
}

TEST_F(Processor, LatencyIsReportedAfterPrepareAtEveryRate)
{
    for (double r : {22050.0, 44100.0, 96000.0, 192000.0})
    {
        processor.prepareToPlay(r, 64);
        EXPECT_EQ(processor.getLatencySamples(), 45) << r;
    }
}

TEST_F(Processor, AbsurdParameterValuesReadAsDefaults)
{
    processor.state.getParameter("fader")->setValueNotifyingHost(std::numeric_limits<float>::quiet_NaN());
    processor.state.getParameter("lineGain")->setValueNotifyingHost(std::numeric_limits<float>::quiet_NaN());
    const auto p = processor.readParams();
    EXPECT_TRUE(std::isfinite(p.faderDb));
    EXPECT_TRUE(std::isfinite(p.lineGainDb));
    runSine(0.5, 10);
    EXPECT_GT(processor.outPeakDb.load(), -20.0f);
}

namespace
{
// Drives the left and right inputs with constant levels, a DC level making the detector level exact.
void runLevels(Processor& t, float left, float right, int blocks)
{
    for (int b = 0; b < blocks; ++b)
    {
        for (int i = 0; i < blockSize; ++i)
        {
            t.buffer.setSample(0, i, left);
            t.buffer.setSample(1, i, right);
        }
        t.processor.processBlock(t.buffer, t.midi);
    }
}
} // namespace

// With the compressor at -30 dBFS effective threshold and 4:1, a -6.02 dBFS level is 23.98 dB over:
// the reduction is 23.98 x -(1 - 1/4) = -17.98 dB. The quiet channel's gate is shut to its 40 dB range.
TEST_F(Processor, PublishesTheDeeperReductionOfTheTwoStrips)
{
    set("compOn", 1.0f);
    set("compThr", -10.0f);
    set("compRatio", 4.0f);
    set("gateMode", 2.0f);
    set("gateRel", 30.0f);
    const float expectedComp = -(30.0f - 6.0206f) * 0.75f;
    for (const bool loudLeft : {true, false})
    {
        runLevels(*this, loudLeft ? 0.5f : 0.0f, loudLeft ? 0.0f : 0.5f, 200);
        EXPECT_NEAR(processor.compGrDb.load(), expectedComp, 0.05f) << loudLeft;
        EXPECT_NEAR(processor.gateGrDb.load(), -40.0f, 0.05f) << loudLeft;
        EXPECT_NEAR(meter("grComp"), 1.0f - std::pow(10.0f, processor.compGrDb.load() / 20.0f), 1e-6f);
        EXPECT_NEAR(meter("grGate"), 1.0f - std::pow(10.0f, -2.0f), 1e-4f);
    }
}

// A burst on the left alone: in "Stereo" the right channel is reduced with it, in "Dual" it is not. The
// threshold sits at -12 dBFS effective; the left detector sees a DC level of 0.8 (-1.94 dBFS), 10.06 dB over,
// which at 4:1 takes 7.54 dB off. The right channel, a -20 dBFS sine, stays below its own knee.
TEST_F(Processor, StereoLinkSharesTheReduction)
{
    set("compOn", 1.0f);
    set("compThr", 8.0f);
    set("compAuto", 0.0f);
    const auto rightLevelDuringBurstDb = [this](float link)
    {
        set("linkMode", link);
        float rms = 0.0f;
        for (int b = 0; b < 150; ++b)
        {
            for (int i = 0; i < blockSize; ++i, phase += 2.0 * 3.141592653589793 * 1000.0 / rate)
            {
                buffer.setSample(0, i, b < 100 ? 0.0f : 0.8f);
                buffer.setSample(1, i, static_cast<float>(0.1 * std::sin(phase)));
            }
            processor.processBlock(buffer, midi);
            rms = buffer.getRMSLevel(1, 0, blockSize);
        }
        return 20.0f * std::log10(rms / (0.1f / std::sqrt(2.0f)));
    };
    EXPECT_NEAR(rightLevelDuringBurstDb(0.0f), 0.0f, 0.1f);
    EXPECT_NEAR(rightLevelDuringBurstDb(1.0f), -10.06f * 0.75f, 0.2f);
}
