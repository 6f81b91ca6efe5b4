#include "dsp/TzChannelStrip.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <vector>

using omvitz::TzChannelStrip;
using omvitz::TZParams;

namespace
{
constexpr double pi = 3.141592653589793;

std::unique_ptr<TzChannelStrip> makeStrip(const TZParams& p, double rate = 48000.0)
{
    auto strip = std::make_unique<TzChannelStrip>();
    strip->prepare(rate);
    strip->applyParams(p);
    return strip;
}

double magnitudeAt(const omvitz::Biquad& f, double hz, double rate)
{
    const std::complex<double> z1 = std::polar(1.0, -2.0 * pi * hz / rate);
    const std::complex<double> z2 = z1 * z1;
    return std::abs((f.b0 + f.b1 * z1 + f.b2 * z2) / (1.0 + f.a1 * z1 + f.a2 * z2));
}

std::vector<float> run(TzChannelStrip& strip, const std::vector<float>& in, float key = 0.0f)
{
    std::vector<float> out;
    out.reserve(in.size());
    for (float x : in)
        out.push_back(strip.processSample(x, key));
    return out;
}

std::vector<float> sine(double hz, double amplitude, int n, double rate = 48000.0)
{
    std::vector<float> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        v[static_cast<size_t>(i)] = static_cast<float>(amplitude * std::sin(2.0 * pi * hz * i / rate));
    return v;
}

double rms(const std::vector<float>& v, size_t from)
{
    double sum = 0.0;
    for (size_t i = from; i < v.size(); ++i)
        sum += double(v[i]) * v[i];
    return std::sqrt(sum / double(v.size() - from));
}
} // namespace

// A Butterworth section is 3 dB down at its corner, passes its pass band at unity and blocks the far end.
TEST(ChannelStripFilters, CornersSitWhereAskedAfterClamping)
{
    struct Case
    {
        double rate;
        float hpfAsked, hpfExpected;
        float lpfAsked, lpfExpected;
    };
    const Case cases[] = {
        {48000.0, 100.0f, 100.0f, 12000.0f, 12000.0f},
        {48000.0, 10.0f, 20.0f, 25000.0f, 19000.0f},  // below and above the working ranges
        {48000.0, 400.0f, 320.0f, 5000.0f, 6000.0f},  // the other ends
        {20000.0, 315.0f, 315.0f, 18000.0f, 9800.0f}, // never above 0.49 x the rate
        {192000.0, 31.5f, 31.5f, 18000.0f, 18000.0f},
    };
    for (const auto& c : cases)
    {
        TZParams p;
        p.hpfOn = p.lpfOn = true;
        p.hpfHz = c.hpfAsked;
        p.lpfHz = c.lpfAsked;
        auto strip = makeStrip(p, c.rate);
        SCOPED_TRACE(c.rate);
        EXPECT_NEAR(magnitudeAt(strip->hpf, c.hpfExpected, c.rate), std::sqrt(0.5), 1e-6);
        EXPECT_NEAR(magnitudeAt(strip->lpf, c.lpfExpected, c.rate), std::sqrt(0.5), 1e-6);
        EXPECT_NEAR(magnitudeAt(strip->hpf, c.rate / 2.0 * 0.999, c.rate), 1.0, 1e-3);
        EXPECT_NEAR(magnitudeAt(strip->lpf, 1.0, c.rate), 1.0, 1e-9);
        const double r = 1.0 / c.hpfExpected; // analogue Butterworth response at 1 Hz, far below the corner
        EXPECT_NEAR(magnitudeAt(strip->hpf, 1.0, c.rate), r * r / std::sqrt(1.0 + r * r * r * r),
                    0.01 * r * r);
    }
}

TEST(ChannelStripFilters, SwitchingOnStartsFromClearedState)
{
    TZParams p;
    p.hpfOn = true;
    auto strip = makeStrip(p);
    run(*strip, std::vector<float>(100, 0.5f));
    ASSERT_NE(strip->hpf.z1, 0.0);

    p.hpfOn = false;
    strip->applyParams(p);
    EXPECT_NE(strip->hpf.z1, 0.0); // switched out, the state is kept as it was
    p.hpfOn = true;
    strip->applyParams(p);
    EXPECT_EQ(strip->hpf.z1, 0.0);
    EXPECT_EQ(strip->hpf.z2, 0.0);
}

// Whatever the routing, the main signal passes exactly one 45-sample path.
TEST(ChannelStripRouting, ImpulseArrivesFortyFiveSamplesLateInEveryRouting)
{
    struct Case
    {
        bool eqOn, preDyn, sidechain;
    };
    const Case cases[] = {{true, false, false}, {false, false, false}, {true, true, false},
                          {false, true, false}, {true, false, true},   {false, false, true}};
    for (const auto& c : cases)
    {
        TZParams p;
        p.eqOn = c.eqOn;
        p.eqPreDyn = c.preDyn;
        p.eqSidechain = c.sidechain;
        auto strip = makeStrip(p);
        std::vector<float> in(200, 0.0f);
        in[10] = 0.5f;
        const auto out = run(*strip, in);
        SCOPED_TRACE(testing::Message() << c.eqOn << c.preDyn << c.sidechain);
        for (size_t i = 0; i < in.size(); ++i)
        {
            if (i == 55)
                EXPECT_NEAR(out[i], 0.5f, 0.03f);
            else
                EXPECT_LT(std::fabs(out[i]), 0.01f) << "at " << i;
        }
    }
}

TEST(ChannelStripGains, FaderGlidesWithTenMillisecondSmoother)
{
    TZParams p;
    auto strip = makeStrip(p);
    p.faderDb = -20.0f;
    strip->applyParams(p);
    const double c = 1.0 - std::exp(-1.0 / (0.01 * 48000.0));
    for (int n = 1; n <= 960; ++n)
    {
        strip->processSample(0.0f, 0.0f);
        if (n == 1 || n == 480 || n == 960)
        {
            const double expected = 0.1 + 0.9 * std::pow(1.0 - c, n);
            EXPECT_NEAR(strip->faderGain, expected, 1e-4) << n;
        }
    }
}

TEST(ChannelStripGains, InputPathChangeSnapsTheInputGain)
{
    TZParams p;
    p.lineGainDb = 6.0f;
    auto strip = makeStrip(p);
    EXPECT_FLOAT_EQ(strip->inGain,
                    1.9952623f); // a new strip starts on the mic path: the first line setting snaps
    p.lineSelected = false;
    p.micGainDb = 40.0f;
    strip->applyParams(p);
    EXPECT_FLOAT_EQ(strip->inGain, 100.0f);
    p.micGainDb = 60.0f; // same path: glides
    strip->applyParams(p);
    strip->processSample(0.0f, 0.0f);
    EXPECT_LT(strip->inGain, 200.0f);
    EXPECT_GT(strip->inGain, 100.0f);
}

// Small-signal level through the strip: the pad and the mic gain leave it alone, line gain moves it 1:1.
TEST(ChannelStripGains, SmallSignalLevels)
{
    const auto level = [](const TZParams& p)
    {
        auto strip = makeStrip(p);
        return 20.0 * std::log10(rms(run(*strip, sine(1000.0, 0.01, 24000)), 12000));
    };
    TZParams line;
    const double reference = level(line);
    EXPECT_NEAR(reference, 20.0 * std::log10(0.01 / std::sqrt(2.0)), 0.5);

    // Padded, the amplifier sees about 1 mV, where the baked curve's local gain is within 2 % of unity.
    TZParams padded = line;
    padded.pad = true;
    EXPECT_NEAR(level(padded), reference, 0.2);

    // The amplifier curves' gain near 0 V depends a little on level, so 6 dB more signal comes out up to
    // 0.1 dB more than 6 dB louder.
    TZParams louder = line;
    louder.lineGainDb = 6.0f;
    EXPECT_NEAR(level(louder), reference + 6.0, 0.15);

    for (float micDb : {20.0f, 45.0f, 70.0f})
    {
        TZParams mic;
        mic.lineSelected = false;
        mic.micGainDb = micDb;
        EXPECT_NEAR(level(mic), reference, 0.3) << micDb;
    }
}

// A NaN or infinity from the host costs that sample only: afterwards the strip plays exactly as if the
// bad samples had been silence.
TEST(ChannelStripBadInput, NonFiniteBurstIsHeardAsSilence)
{
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    for (bool mic : {false, true})
    {
        TZParams p;
        p.lineSelected = !mic;
        p.hpfOn = p.lpfOn = true;
        auto hurt = makeStrip(p);
        auto clean = makeStrip(p);
        auto in = sine(440.0, 0.3, 4000);
        for (int i = 1000; i < 1030; ++i)
        {
            hurt->processSample(bad[i % 3], bad[(i + 1) % 3]);
            clean->processSample(0.0f, 0.0f);
        }
        for (float x : in)
        {
            const float y = hurt->processSample(x, 0.0f);
            ASSERT_TRUE(std::isfinite(y));
            ASSERT_EQ(y, clean->processSample(x, 0.0f));
        }
    }
}

TEST(ChannelStripBadInput, HugeInputsGiveFiniteOutput)
{
    for (bool mic : {false, true})
    {
        TZParams p;
        p.lineSelected = !mic;
        p.faderDb = 10.0f;
        p.outTrimDb = 20.0f;
        auto strip = makeStrip(p);
        for (int i = 0; i < 2000; ++i)
            ASSERT_TRUE(std::isfinite(strip->processSample((i % 2 ? 1e30f : -1e30f), 1e30f)));
        for (int i = 0; i < 2000; ++i)
            ASSERT_TRUE(std::isfinite(strip->processSample(0.1f, 0.0f)));
    }
}

TEST(ChannelStripRates, EveryRatePreparesWithTheSameLatency)
{
    for (double rate : {22050.0, 44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0})
    {
        TZParams p;
        auto strip = makeStrip(p, rate);
        EXPECT_EQ(strip->latencySamples, 45);
        const auto out = run(*strip, sine(100.0, 0.5, 2000, rate));
        EXPECT_NEAR(rms(out, 1000), 0.5 / std::sqrt(2.0), 0.02) << rate;
    }
    for (double unusable : {0.0, -44100.0, std::numeric_limits<double>::quiet_NaN()})
    {
        TZParams p;
        p.hpfOn = p.lpfOn = true;
        auto strip = makeStrip(p, unusable);
        EXPECT_EQ(strip->sampleRate, 48000.0);
        EXPECT_NEAR(rms(run(*strip, sine(1000.0, 0.5, 4800)), 2400), 0.5 / std::sqrt(2.0), 0.02) << unusable;
    }
}

namespace
{
// Level of one frequency in a block, relative to full scale (single-bin DFT).
double toneDb(const std::vector<float>& v, size_t from, double hz, double rate = 48000.0)
{
    std::complex<double> sum = 0.0;
    for (size_t i = from; i < v.size(); ++i)
        sum += double(v[i]) * std::polar(1.0, -2.0 * pi * hz * double(i) / rate);
    return 20.0 * std::log10(2.0 * std::abs(sum) / double(v.size() - from));
}
} // namespace

// At 70 dB of mic gain a 0.05 full-scale signal drives the mic amplifier with some 55 V, three times past
// its rails; at 20 dB it sees 0.17 V. The gain is divided out again, so the difference is distortion.
TEST(ChannelStripGains, MicGainDrivesTheAmplifierIntoSaturation)
{
    const auto thirdHarmonic = [](float micDb)
    {
        TZParams p;
        p.lineSelected = false;
        p.micGainDb = micDb;
        auto strip = makeStrip(p);
        const auto out = run(*strip, sine(1000.0, 0.05, 48000));
        return toneDb(out, 24000, 3000.0) - toneDb(out, 24000, 1000.0);
    };
    EXPECT_LT(thirdHarmonic(20.0f), -70.0);
    EXPECT_GT(thirdHarmonic(70.0f), -20.0);
}

// With the external key switched on, both sections listen to the key alone: a loud key compresses a quiet
// signal, and a silent key shuts the gate on a loud one.
TEST(ChannelStripDynamics, ExternalKeyFeedsBothSections)
{
    TZParams p;
    p.gateKey = true;
    p.compOn = true;
    p.compThrDb = -10.0f; // -30 dBFS effective
    p.compAuto = false;
    auto compressed = makeStrip(p);
    for (int i = 0; i < 24000; ++i)
        compressed->processSample(0.001f, 0.5f);
    // 0.5 is -6.02 dBFS, 23.98 dB over the threshold at 4:1
    EXPECT_NEAR(compressed->dynamics.compReductionDb, -23.98f * 0.75f, 0.05f);

    p.compOn = false;
    p.gateMode = 2;
    p.gateRelMs = 30.0f;
    auto gated = makeStrip(p);
    for (int i = 0; i < 48000; ++i)
        gated->processSample(0.5f, 0.0f);
    EXPECT_NEAR(gated->dynamics.gateReductionDb, -40.0f, 0.1f);
}

// Which curve each amplifier plays, its slew limit for the rate, and the DC blocker on the output only.
TEST(ChannelStripStages, AmplifiersAreConfiguredForTheirPlaceInTheChain)
{
    auto strip = makeStrip(TZParams{}, 96000.0);
    const auto* rail19 = &omvipccn::sharedNE5534Curve(19.0);
    const auto* rail16 = &omvipccn::sharedNE5534Curve(16.0);
    ASSERT_NE(rail19, rail16);
    const struct
    {
        const omvipccn::PccnOpAmpBaked& stage;
        const omvipccn::NE5534Curve* curve;
        bool dcBlock;
    } cases[] = {{strip->micAmp, rail19, false},
                 {strip->lineAmp, rail16, false},
                 {strip->eqAmp, rail19, false},
                 {strip->outputAmp, rail16, true}};
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.stage.curve, c.curve);
        EXPECT_EQ(c.stage.dcBlock, c.dcBlock);
        EXPECT_FLOAT_EQ(c.stage.slewPerSample, 1.3e7f / 96000.0f);
        const double w = 2.0 * pi * 9.0 / 96000.0;
        EXPECT_FLOAT_EQ(c.stage.dcCoef, static_cast<float>(w / (1.0 + w)));
    }
    for (const auto& stage : strip->eq.stages)
    {
        EXPECT_EQ(stage.curve, rail19);
        EXPECT_FALSE(stage.dcBlock);
        EXPECT_FLOAT_EQ(stage.slewPerSample, 1.3e7f / 192000.0f);
    }
    EXPECT_FLOAT_EQ(strip->ironLpCoef, 1.0f - 0.028f * 0.5f);
}

// Where the equaliser sits. A 1 kHz tone at 0.1 full scale (-20 dBFS at its peaks), the low-mid band
// boosting 12 dB at 1 kHz, the compressor at 4:1 with its threshold at -30 dBFS, 10 dB under the tone and
// clear of the 6 dB knee. The routing decides whether the main output carries the boost and what the
// compressor hears: the plain tone, the boosted tone (9 dB more reduction: 12 dB more level at 4:1) or the
// silent key (no reduction). The output level then follows as the boost plus the change in reduction. In
// the sidechain routing the equaliser runs only to feed the detector, so with the key listening, or with the
// equaliser switched off, it is not run at all: its memory stays empty. Levels are allowed 0.1 dB for the
// op-amp stages (some 1e-4 of full scale on tones of 0.04 and more), the VCA's colour and the ripple of the
// detector's envelope.
TEST(ChannelStripRouting, EqualiserPositionDecidesWhatIsBoostedAndWhatTheCompressorHears)
{
    enum class Hears
    {
        plain,
        boosted,
        key
    };
    struct Case
    {
        bool eqOn, preDyn, sidechain, gateKey;
        Hears hears;
        bool mainBoosted, eqRuns;
    };
    const Case cases[] = {
        {false, false, false, false, Hears::plain, false, true}, // the reference: post-dynamics, switched off
        {true, false, false, false, Hears::plain, true, true},
        {true, true, false, false, Hears::boosted, true, true},
        {false, true, false, false, Hears::plain, false, true},
        {true, false, true, false, Hears::boosted, false, true},
        {false, false, true, false, Hears::plain, false, false},
        {true, true, true, false, Hears::boosted, false,
         true}, // the sidechain routing wins over pre-dynamics
        {true, false, false, true, Hears::key, true, true},
        {true, true, false, true, Hears::key, true, true},
        {true, false, true, true, Hears::key, false, false},
        {false, false, true, true, Hears::key, false, false}};
    double plainReduction = 0.0, referenceLevel = 0.0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "eqOn " << c.eqOn << " preDyn " << c.preDyn << " sidechain "
                                        << c.sidechain << " gateKey " << c.gateKey);
        TZParams p;
        p.eqOn = c.eqOn;
        p.eqPreDyn = c.preDyn;
        p.eqSidechain = c.sidechain;
        p.gateKey = c.gateKey;
        p.m1Freq = 1000.0f;
        p.m1GainDb = 12.0f;
        p.compOn = true;
        p.compThrDb = -10.0f; // -30 dBFS
        p.compRatio = 4.0f;
        p.compAuto = false;
        auto strip = makeStrip(p);
        const auto in = sine(1000.0, 0.1, 24000);
        std::vector<float> out;
        double reduction = 0.0;
        for (size_t i = 0; i < in.size(); ++i)
        {
            out.push_back(strip->processSample(in[i], 0.0f));
            if (i >= 12000)
                reduction += strip->dynamics.compReductionDb / 12000.0;
        }
        const double level = toneDb(out, 12000, 1000.0);
        if (&c == &cases[0])
        {
            plainReduction = reduction;
            referenceLevel = level;
            ASSERT_LT(plainReduction, -5.0);
        }
        const double expectedReduction =
            c.hears == Hears::key ? 0.0 : plainReduction - (c.hears == Hears::boosted ? 9.0 : 0.0);
        EXPECT_NEAR(reduction, expectedReduction, 0.1);
        EXPECT_NEAR(level, referenceLevel + (c.mainBoosted ? 12.0 : 0.0) + (reduction - plainReduction), 0.1);

        bool touched = false;
        for (const auto& s : strip->eq.sections)
            touched = touched || s.z1 != 0.0 || s.z2 != 0.0;
        for (float h : strip->eq.upHistory)
            touched = touched || h != 0.0f;
        EXPECT_EQ(touched, c.eqRuns);
    }
}
