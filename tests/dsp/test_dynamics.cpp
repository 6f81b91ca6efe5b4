#include "dsp/TzDynamics.h"
#include "processor/TZParams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

using omvitz::DynamicsGain;
using omvitz::TzDynamics;
using omvitz::TZParams;

namespace
{

// Settled envelopes are float dB values moved by c * (target - value) per sample, so they stop where that
// step drops below half an ulp of the value: within ulp / (2c) of the target. For the 7 ms attack at
// 48 kHz and levels under 32 dB that is 3.2e-4 dB; for the 30..32 ms gate times and levels under 128 dB,
// 1.2e-2 dB. The settled checks use these bounds.
constexpr double kSettledAttackTolDb = 1e-3;
constexpr double kSettledGateTolDb = 2e-2;

float dcForDb(double db)
{
    return static_cast<float>(std::pow(10.0, db / 20.0));
}

// The compressor's static curve, written out from its definition: 6 dB quadratic knee centred on the
// threshold, ratios from 19.5 up treated as 1000:1.
double expectedReductionDb(double overDb, double ratio)
{
    const double effectiveRatio = ratio >= 19.5 ? 1000.0 : std::max(ratio, 1.0);
    const double slope = -(1.0 - 1.0 / effectiveRatio);
    if (overDb <= -3.0)
        return 0.0;
    if (overDb < 3.0)
        return (overDb + 3.0) * (overDb + 3.0) * slope / 12.0;
    return overDb * slope;
}

TZParams compressorParams(float thrParam, float ratio, float relMs = 300.0f, bool fast = false)
{
    TZParams p;
    p.compOn = true;
    p.compThrDb = thrParam;
    p.compRatio = ratio;
    p.compRelMs = relMs;
    p.compFast = fast;
    return p;
}

TZParams gateParams(int mode, float thrParam, float hyst, float range, bool invert = false)
{
    TZParams p;
    p.gateMode = mode;
    p.gateThrDb = thrParam;
    p.gateHystDb = hyst;
    p.gateRangeDb = range;
    p.gateInvert = invert;
    p.gateRelMs = 30.0f;
    return p;
}

void runDc(TzDynamics& d, float value, int samples)
{
    for (int i = 0; i < samples; ++i)
        d.process(value, nullptr);
}

std::vector<float> stateOf(const TzDynamics& d)
{
    return {d.compFastEnv, d.compEnv,         d.compReductionDb,       d.gateEnv,
            d.gateGainDb,  d.gateReductionDb, d.gateOpen ? 1.0f : 0.0f};
}

// A music-like detector signal: a few partials under a decaying, re-triggered envelope plus some noise.
std::vector<float> musicLike(int n, double sampleRate, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    std::vector<float> out(static_cast<size_t>(n));
    const double twoPi = 6.283185307179586;
    double env = 0.0;
    for (int i = 0; i < n; ++i)
    {
        if (i % 12000 == 0)
            env = 0.9;
        env *= 0.99985;
        const double t = i / sampleRate;
        const double tone = 0.5 * std::sin(twoPi * 110.0 * t) + 0.3 * std::sin(twoPi * 330.0 * t) +
                            0.2 * std::sin(twoPi * 1234.5 * t);
        out[static_cast<size_t>(i)] = static_cast<float>(env * tone + 0.01 * noise(rng));
    }
    return out;
}

} // namespace

// ---------------------------------------------------------------------------------------------------------
// Detector level and helpers

TEST(DynamicsDetector, LevelIsTwentyLog10WithFloorAtMinus140)
{
    struct Case
    {
        float in;
        double expected;
    };
    const Case exact[] = {{1.0f, 0.0},     {-1.0f, 0.0},     {10.0f, 20.0},   {0.1f, -20.0},
                          {0.5f, -6.0206}, {1e-7f, -140.0},  {5e-8f, -140.0}, {0.0f, -140.0},
                          {-0.0f, -140.0}, {1e-40f, -140.0}, {2.0f, 6.0206}};
    for (const auto& c : exact)
        EXPECT_NEAR(TzDynamics::detectorLevelDb(c.in), c.expected, 1e-4) << "input " << c.in;

    // Sweep against the double-precision log: the error must stay at float rounding of the result.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> exponent(-7.0, 6.0);
    for (int i = 0; i < 200000; ++i)
    {
        const float x = static_cast<float>(std::pow(10.0, exponent(rng)));
        const double ref = 20.0 * std::log10(static_cast<double>(x));
        const double tol = std::max(1e-6, 1.5 * std::fabs(ref) * FLT_EPSILON);
        ASSERT_NEAR(TzDynamics::detectorLevelDb(x), ref, tol) << "input " << x;
    }
}

TEST(DynamicsDetector, NonFiniteDetectorReadsAsSilence)
{
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    for (float b : bad)
        EXPECT_EQ(TzDynamics::detectorLevelDb(b), -140.0f);
    EXPECT_NEAR(TzDynamics::detectorLevelDb(FLT_MAX), 20.0 * std::log10(static_cast<double>(FLT_MAX)), 1e-3);
}

TEST(DynamicsHelpers, DbToGainMatchesPowToFloatRounding)
{
    for (double db = -750.0; db <= 0.0; db += 0.0137)
    {
        const double ref = std::pow(10.0, db / 20.0);
        const float g = TzDynamics::dbToGain(static_cast<float>(db));
        const double refAtFloatDb = std::pow(10.0, static_cast<float>(db) / 20.0);
        ASSERT_NEAR(g, refAtFloatDb, 2.0 * FLT_EPSILON * refAtFloatDb) << "dB " << db << " ref " << ref;
    }
    EXPECT_EQ(TzDynamics::dbToGain(0.0f), 1.0f);
    EXPECT_EQ(TzDynamics::dbToGain(-800.0f), 0.0f);
    EXPECT_EQ(TzDynamics::dbToGain(std::numeric_limits<float>::quiet_NaN()), 0.0f);
    EXPECT_NEAR(TzDynamics::dbToGain(-20.0f), 0.1f, 1e-8f);
    EXPECT_NEAR(TzDynamics::dbToGain(-6.0205999f), 0.5f, 1e-7f);
}

TEST(DynamicsHelpers, SmoothingCoefficientIsOneMinusExpAndFloorsTimeAt50us)
{
    struct Case
    {
        double ms, perMs, expected;
    };
    const Case cases[] = {
        {1.0, 48.0, 1.0 - std::exp(-1.0 / 48.0)},
        {7.0, 96.0, 1.0 - std::exp(-1.0 / 672.0)},
        {0.1, 44.1, 1.0 - std::exp(-1.0 / 4.41)},
        {0.01, 48.0, 1.0 - std::exp(-1.0 / 2.4)}, // raised to 0.05 ms
        {0.0, 48.0, 1.0 - std::exp(-1.0 / 2.4)},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(TzDynamics::smoothingCoefficient(c.ms, c.perMs), c.expected, 1e-7 * c.expected)
            << c.ms << " ms";
}

// ---------------------------------------------------------------------------------------------------------
// Static compression

TEST(DynamicsCompressorStatic, SettledReductionFollowsTheKneeFormula)
{
    struct RatioCase
    {
        float thrParam;
        bool pull;
        float ratio;
    };
    const RatioCase ratios[] = {{20.0f, false, 1.0f}, {10.0f, false, 2.0f},  {0.0f, false, 4.0f},
                                {-4.0f, true, 10.0f}, {14.0f, false, 19.4f}, {2.0f, false, 19.5f},
                                {8.0f, false, 20.0f}, {-10.0f, false, 0.5f}};
    const double overs[] = {-9.0, -3.0, -2.5, -1.0, 0.0, 1.5, 2.9, 3.0, 6.0, 20.0};
    for (const auto& rc : ratios)
    {
        const double threshold = rc.thrParam - 20.0 - (rc.pull ? 20.0 : 0.0);
        for (double over : overs)
        {
            TzDynamics d;
            d.prepare(48000.0);
            TZParams p = compressorParams(rc.thrParam, rc.ratio);
            p.compThrPull = rc.pull;
            d.applyParams(p);
            runDc(d, dcForDb(threshold + over), 48000);
            const double expected = expectedReductionDb(over, rc.ratio);
            const DynamicsGain g = d.process(dcForDb(threshold + over), nullptr);
            EXPECT_NEAR(d.compEnv, threshold + over, kSettledAttackTolDb)
                << "ratio " << rc.ratio << " over " << over;
            EXPECT_NEAR(g.compDb, expected, kSettledAttackTolDb) << "ratio " << rc.ratio << " over " << over;
            EXPECT_NEAR(g.totalDb, expected, kSettledAttackTolDb);
            EXPECT_EQ(d.compReductionDb, g.compDb);
        }
    }
}

TEST(DynamicsCompressorStatic, HandValuesAndLimitingSlope)
{
    // (over + 3)^2 * slope / 12 inside the knee, over * slope above it; from 19.5:1 up the slope is -0.999.
    struct Case
    {
        float ratio;
        double over, expected;
    };
    const Case cases[] = {{2.0f, 0.0, -0.375},
                          {4.0f, 6.0, -4.5},
                          {4.0f, 1.0, -1.0},
                          {20.0f, 10.0, -9.99},
                          {19.5f, 4.0, -3.996},
                          {100.0f, 3.0, -2.997},
                          {19.4f, 10.0, -10.0 * (1.0 - 1.0 / 19.4)}};
    for (const auto& c : cases)
    {
        TzDynamics d;
        d.prepare(96000.0);
        d.applyParams(compressorParams(10.0f, c.ratio));
        runDc(d, dcForDb(-10.0 + c.over), 96000);
        EXPECT_NEAR(d.compReductionDb, c.expected, kSettledAttackTolDb)
            << "ratio " << c.ratio << " over " << c.over;
    }
}

TEST(DynamicsCompressorStatic, TopThresholdLeavesAtMostThreeEighthsDbAtTwoToOne)
{
    // Threshold control at 20 (0 dBFS effective): within full scale the programme envelope cannot pass
    // 0 dB, so the reduction stays in the knee: at most 9/12 of the 2:1 slope.
    const double sr = 48000.0;
    const double twoPi = 6.283185307179586;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    const std::vector<std::function<float(int)>> signals = {
        [](int) { return 1.0f; },
        [](int) { return -1.0f; },
        [&](int i) { return static_cast<float>(std::sin(twoPi * 997.0 * i / sr)); },
        [](int i) { return (i / 24) % 2 ? 1.0f : -1.0f; },
        [&](int) { return uni(rng); },
    };
    for (size_t s = 0; s < signals.size(); ++s)
    {
        for (bool fast : {false, true})
        {
            TzDynamics d;
            d.prepare(sr);
            d.applyParams(compressorParams(20.0f, 2.0f, 3000.0f, fast));
            float deepest = 0.0f;
            for (int i = 0; i < 96000; ++i)
                deepest = std::min(deepest, d.process(signals[s](i), nullptr).compDb);
            EXPECT_GE(deepest, -0.375f - 1e-6f) << "signal " << s;
            if (s < 2)
            {
                EXPECT_NEAR(deepest, -0.375f, 1e-5f) << "full-scale DC settles at the knee's top";
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------------------
// Envelope timing

namespace
{

struct TimingCase
{
    std::string name;
    double expectedMs;
    std::function<void(TZParams&)> configure;
    float TzDynamics::*watched;
    float startDb;
    float levelDb;
    // Places the start state; called once after applyParams.
    std::function<void(TzDynamics&)> start;
    // Holds a condition the case needs on every sample (may be empty).
    std::function<void(TzDynamics&)> hold;
};

// Steps the detector to a DC level and returns, per sample, the remaining fraction of the watched value's
// distance to its target.
std::vector<double> remainingFraction(const TimingCase& c, double sr, int samples, double target)
{
    TzDynamics d;
    d.prepare(sr);
    TZParams p;
    c.configure(p);
    d.applyParams(p);
    if (c.start)
        c.start(d);
    d.*(c.watched) = c.startDb;
    const float in = dcForDb(c.levelDb);
    const double span = target - c.startDb;
    std::vector<double> out;
    out.reserve(static_cast<size_t>(samples));
    for (int i = 0; i < samples; ++i)
    {
        if (c.hold)
            c.hold(d);
        d.process(in, nullptr);
        out.push_back((target - d.*(c.watched)) / span);
    }
    return out;
}

std::vector<TimingCase> timingCases()
{
    auto comp = [](float rel, bool fast)
    {
        return [rel, fast](TZParams& p)
        {
            p.compOn = true;
            p.compRelMs = rel;
            p.compFast = fast;
        };
    };
    auto gate = [](bool fast, float rel)
    {
        return [fast, rel](TZParams& p)
        {
            p.gateMode = 2;
            p.gateFast = fast;
            p.gateRelMs = rel;
            p.gateThrDb = -10.0f; // opens above -30 dBFS
        };
    };
    auto holdReduction = [](float db) { return [db](TzDynamics& d) { d.compReductionDb = db; }; };
    std::vector<TimingCase> v;
    v.push_back({"fast envelope attack", 0.1, comp(300, false), &TzDynamics::compFastEnv, -100, -20, {}, {}});
    v.push_back({"fast envelope release", 60.0, comp(300, false), &TzDynamics::compFastEnv, 0, -60, {}, {}});
    v.push_back({"fast-switch attack",
                 0.1,
                 comp(300, true),
                 &TzDynamics::compEnv,
                 -100,
                 -20,
                 [](TzDynamics& d) { d.compFastEnv = -100; },
                 {}});
    // Fast envelope held at the level: the overshoot stays above 12 dB while the step is measured.
    v.push_back({"attack at 12 dB overshoot",
                 1.0,
                 comp(300, false),
                 &TzDynamics::compEnv,
                 -100,
                 0,
                 {},
                 [](TzDynamics& d) { d.compFastEnv = 0.0f; }});
    // Fast envelope held far below: no overshoot.
    v.push_back({"attack without overshoot",
                 7.0,
                 comp(300, false),
                 &TzDynamics::compEnv,
                 -100,
                 -20,
                 {},
                 [](TzDynamics& d) { d.compFastEnv = -140.0f; }});
    v.push_back({"fixed release 300 ms", 300.0, comp(300, false), &TzDynamics::compEnv, 0, -60, {}, {}});
    v.push_back(
        {"fixed release 30 ms, fast switch", 30.0, comp(30, true), &TzDynamics::compEnv, 0, -60, {}, {}});
    // 2899 ms is still a fixed release even with a deep reduction that would slow an automatic one.
    v.push_back({"fixed release 2899 ms",
                 2899.0,
                 comp(2899, false),
                 &TzDynamics::compEnv,
                 0,
                 -60,
                 {},
                 holdReduction(-3.0f)});
    // Automatic release from the previous reduction, held constant: 60 + 680 v, 400 + 4000 (v - 0.5), 2400.
    v.push_back({"auto release, no reduction",
                 60.0,
                 comp(2900, false),
                 &TzDynamics::compEnv,
                 0,
                 -60,
                 {},
                 holdReduction(0.0f)});
    v.push_back({"auto release, 3 dB",
                 230.0,
                 comp(2900, false),
                 &TzDynamics::compEnv,
                 0,
                 -60,
                 {},
                 holdReduction(-3.0f)});
    v.push_back({"auto release, 6 dB",
                 400.0,
                 comp(3300, false),
                 &TzDynamics::compEnv,
                 0,
                 -60,
                 {},
                 holdReduction(-6.0f)});
    v.push_back({"auto release, 9 dB",
                 1400.0,
                 comp(3000, true),
                 &TzDynamics::compEnv,
                 0,
                 -60,
                 {},
                 holdReduction(-9.0f)});
    v.push_back({"auto release, 18 dB",
                 2400.0,
                 comp(3300, false),
                 &TzDynamics::compEnv,
                 0,
                 -60,
                 {},
                 holdReduction(-18.0f)});
    v.push_back({"gate detector attack", 1.0, gate(false, 300), &TzDynamics::gateEnv, -100, -20, {}, {}});
    v.push_back({"gate detector fast attack", 0.1, gate(true, 300), &TzDynamics::gateEnv, -100, -20, {}, {}});
    v.push_back({"gate detector release", 32.0, gate(false, 300), &TzDynamics::gateEnv, 0, -60, {}, {}});
    // Gain smoothing: opening with the attack time (detector parked above the threshold)...
    v.push_back({"gate opening",
                 1.0,
                 gate(false, 300),
                 &TzDynamics::gateGainDb,
                 -40,
                 0,
                 [](TzDynamics& d) { d.gateEnv = 0.0f; },
                 {}});
    v.push_back({"gate fast opening",
                 0.1,
                 gate(true, 300),
                 &TzDynamics::gateGainDb,
                 -40,
                 0,
                 [](TzDynamics& d) { d.gateEnv = 0.0f; },
                 {}});
    // ...closing with the release time (detector parked at silence).
    v.push_back({"gate closing 300 ms",
                 300.0,
                 gate(false, 300),
                 &TzDynamics::gateGainDb,
                 0,
                 -140,
                 [](TzDynamics& d) { d.gateEnv = -140.0f; },
                 {}});
    v.push_back({"gate closing 2500 ms",
                 2500.0,
                 gate(true, 2500),
                 &TzDynamics::gateGainDb,
                 0,
                 -140,
                 [](TzDynamics& d) { d.gateEnv = -140.0f; },
                 {}});
    return v;
}

} // namespace

TEST(DynamicsEnvelopeTiming, StepsReachOneMinusOneOverEInTheirTimeConstants)
{
    for (double sr : {48000.0, 96000.0})
    {
        for (const auto& c : timingCases())
        {
            // The gate gain's target is the gate's own: 0 when open, -range (-40) when closed.
            const bool gateGain = c.watched == &TzDynamics::gateGainDb;
            const double target = gateGain ? (c.levelDb > -30.0f ? 0.0 : -40.0) : c.levelDb;
            const double tau = c.expectedMs * 0.001 * sr; // samples
            const int n = static_cast<int>(std::ceil(2.0 * tau)) + 2;
            const auto frac = remainingFraction(c, sr, n, target);

            // Every sample follows exp(-n / tau). Float envelopes round every step; over the 480000 steps of
            // the slowest case here that adds up to a few 1e-4 of the step.
            double worst = 0.0;
            for (int i = 0; i < n; ++i)
                worst = std::max(worst, std::fabs(frac[static_cast<size_t>(i)] - std::exp(-(i + 1) / tau)));
            EXPECT_LT(worst, 5e-4) << c.name << " at " << sr;

            // 1 - 1/e of the step is reached after tau samples (rounded up), not before.
            int crossing = 0;
            while (crossing < n && frac[static_cast<size_t>(crossing)] > std::exp(-1.0))
                ++crossing;
            const double reachedAt = crossing + 1; // samples processed
            EXPECT_NEAR(reachedAt, std::ceil(tau), 1.0 + 5e-4 * tau) << c.name << " at " << sr;
        }
    }
}

TEST(DynamicsEnvelopeTiming, ProgrammeAttackShortensWithOvershoot)
{
    // One sample from a placed state: the programme envelope moves by 1 - exp(-1 / (t T)) of its distance,
    // t = 7 ms without overshoot, 7 - overshoot/2 ms up to 12 dB, 1 ms beyond.
    struct Case
    {
        double overshootDb, ms;
    };
    const Case cases[] = {{-5.0, 7.0}, {0.5, 6.75}, {2.0, 6.0}, {6.0, 4.0},
                          {11.0, 1.5}, {20.0, 1.0}, {40.0, 1.0}};
    for (double sr : {44100.0, 48000.0, 96000.0})
    {
        const double perMs = sr / 1000.0;
        const double fastAttack = 1.0 - std::exp(-1.0 / (0.1 * perMs));
        for (const auto& c : cases)
        {
            TzDynamics d;
            d.prepare(sr);
            d.applyParams(compressorParams(0.0f, 4.0f));
            const double o = -60.0;
            // Fast envelope placed so that after its own 0.1 ms step (towards L = 0 dB) it sits at o +
            // overshoot.
            d.compEnv = static_cast<float>(o);
            d.compFastEnv = static_cast<float>((o + c.overshootDb) / (1.0 - fastAttack));
            d.process(1.0f, nullptr);
            const double moved = (d.compEnv - o) / (0.0 - o);
            const double expected = 1.0 - std::exp(-1.0 / (c.ms * perMs));
            EXPECT_NEAR(moved, expected, 3e-4 * expected) << "overshoot " << c.overshootDb << " at " << sr;
        }
    }
}

// ---------------------------------------------------------------------------------------------------------
// Gate / expander

TEST(DynamicsGate, TargetTable)
{
    // Threshold control -10 (-30 dBFS open). Levels settle for a second before the check.
    struct Case
    {
        const char* what;
        int mode;
        bool invert;
        float thrParam;
        bool pull;
        float hyst;
        float range;
        double preDb, levelDb;
        bool open;
        double targetDb;
    };
    const Case cases[] = {
        {"gate above open threshold", 2, false, -10, false, 2, 40, -60, -20, true, 0},
        {"gate below close threshold", 2, false, -10, false, 2, 40, -20, -40, false, -40},
        {"gate in band, came from open", 2, false, -10, false, 2, 40, -20, -31, true, 0},
        {"gate in band, came from closed", 2, false, -10, false, 2, 40, -60, -31, false, -40},
        {"expander 10 dB below close", 1, false, -10, false, 2, 40, -20, -42, false, -10},
        {"expander 60 dB below close", 1, false, -10, false, 2, 40, -20, -92, false, -40},
        {"expander range 20, far below", 1, false, -10, false, 2, 20, -20, -92, false, -20},
        {"expander in band, came from closed", 1, false, -10, false, 2, 40, -60, -31, false, 0},
        {"expander in band, came from open", 1, false, -10, false, 2, 40, -20, -31, true, 0},
        {"expander above open threshold", 1, false, -10, false, 2, 40, -60, -25, true, 0},
        {"ducker, key above threshold", 2, true, -10, false, 2, 40, -60, -20, true, -40},
        {"ducker, key below close", 2, true, -10, false, 2, 40, -20, -40, false, 0},
        {"ducker in band, came from open", 2, true, -10, false, 2, 40, -20, -31, true, -40},
        {"ducker in band, came from closed", 2, true, -10, false, 2, 40, -60, -31, false, 0},
        {"inverted expander below close", 1, true, -10, false, 2, 40, -20, -50, false, 0},
        {"hyst 0 keeps 1 dB: in band from open", 2, false, -10, false, 0, 40, -20, -30.5, true, 0},
        {"hyst 0 keeps 1 dB: in band from closed", 2, false, -10, false, 0, 40, -60, -30.5, false, -40},
        {"hyst 0: below -31 closes", 2, false, -10, false, 0, 40, -20, -31.5, false, -40},
        {"negative hyst counts as 0", 2, false, -10, false, -5, 40, -20, -30.5, true, 0},
        {"hyst 10: in band from open", 2, false, -10, false, 10, 40, -20, -38, true, 0},
        {"hyst 10: in band from closed", 2, false, -10, false, 10, 40, -60, -38, false, -40},
        {"threshold pull: -60 open", 2, false, -10, true, 2, 40, -90, -50, true, 0},
        {"threshold pull: below -62 closes", 2, false, -10, true, 2, 40, -20, -70, false, -40},
        {"threshold 15 (-5 dBFS)", 2, false, 15, false, 2, 30, -20, -10, false, -30},
        {"negative range counts as 0", 2, false, -10, false, 2, -10, -20, -40, false, 0},
    };
    for (double sr : {48000.0, 96000.0})
    {
        for (const auto& c : cases)
        {
            TzDynamics d;
            d.prepare(sr);
            TZParams p = gateParams(c.mode, c.thrParam, c.hyst, c.range, c.invert);
            p.gateThrPull = c.pull;
            d.applyParams(p);
            runDc(d, dcForDb(c.preDb), static_cast<int>(sr));
            runDc(d, dcForDb(c.levelDb), static_cast<int>(sr));
            EXPECT_EQ(d.gateOpen, c.open) << c.what;
            EXPECT_NEAR(d.gateGainDb, c.targetDb, kSettledGateTolDb) << c.what;
            EXPECT_EQ(d.gateReductionDb, d.gateGainDb) << c.what;
            EXPECT_NEAR(d.process(dcForDb(c.levelDb), nullptr).totalDb, c.targetDb, kSettledGateTolDb)
                << c.what;
        }
    }
}

TEST(DynamicsGate, SilentKeyClosesGateAndLeavesDuckerOpen)
{
    for (bool invert : {false, true})
    {
        TzDynamics d;
        d.prepare(48000.0);
        d.applyParams(gateParams(2, -10.0f, 2.0f, 35.0f, invert));
        runDc(d, 0.0f, 48000);
        EXPECT_NEAR(d.gateEnv, -140.0f, kSettledGateTolDb);
        const DynamicsGain g = d.process(0.0f, nullptr);
        if (invert)
            EXPECT_EQ(g.totalDb, 0.0f) << "a ducker with no key leaves the signal alone";
        else
            EXPECT_NEAR(g.totalDb, -35.0f, kSettledGateTolDb) << "a gate with no key closes to -range";
        EXPECT_EQ(g.compDb, 0.0f);
    }
}

// ---------------------------------------------------------------------------------------------------------
// Stereo link

namespace
{

struct PairRun
{
    std::vector<DynamicsGain> left, right;
    std::vector<float> leftOwnComp, rightOwnComp;
};

// Strip 0 then strip 1 for each sample, as the processor runs them. The partner pointers are always
// set (as the processor sets them); each section decides from its own link flag.
PairRun runPair(TzDynamics& a, TzDynamics& b, const std::vector<float>& inL, const std::vector<float>& inR)
{
    PairRun r;
    for (size_t i = 0; i < inL.size(); ++i)
    {
        r.left.push_back(a.process(inL[i], &b));
        r.leftOwnComp.push_back(a.compReductionDb);
        r.right.push_back(b.process(inR[i], &a));
        r.rightOwnComp.push_back(b.compReductionDb);
    }
    return r;
}

std::vector<float> burst(int n, int from, int to, float value)
{
    std::vector<float> v(static_cast<size_t>(n), 0.0f);
    for (int i = from; i < to; ++i)
        v[static_cast<size_t>(i)] = value;
    return v;
}

} // namespace

TEST(DynamicsLink, TransientOnLeftReducesBothWhenLinkedAndOnlyLeftInDual)
{
    const int n = 48000;
    const auto left = burst(n, 480, 1440, 0.5f); // 20 ms at -6 dBFS
    const std::vector<float> right(static_cast<size_t>(n), 0.0f);

    // The left strip on its own, as the reference for the depth.
    TzDynamics solo;
    solo.prepare(48000.0);
    solo.applyParams(compressorParams(0.0f, 4.0f, 100.0f));
    std::vector<float> soloDb;
    for (float x : left)
        soloDb.push_back(solo.process(x, nullptr).totalDb);
    ASSERT_LT(*std::min_element(soloDb.begin(), soloDb.end()), -6.0f);

    for (int linkMode : {0, 1})
    {
        TZParams p = compressorParams(0.0f, 4.0f, 100.0f);
        p.linkMode = linkMode;
        TzDynamics a, b;
        a.prepare(48000.0);
        b.prepare(48000.0);
        a.applyParams(p);
        b.applyParams(p);
        const PairRun r = runPair(a, b, left, right);
        for (int i = 0; i < n; ++i)
        {
            const size_t k = static_cast<size_t>(i);
            ASSERT_EQ(r.left[k].totalDb, soloDb[k]) << "sample " << i;
            if (linkMode == 1)
            {
                ASSERT_EQ(r.right[k].totalDb, r.left[k].totalDb) << "sample " << i;
                ASSERT_EQ(r.right[k].compDb, r.left[k].compDb) << "sample " << i;
            }
            else
                ASSERT_EQ(r.right[k].totalDb, 0.0f) << "sample " << i;
        }
    }
}

TEST(DynamicsLink, StripZeroSeesItsPartnerOneSampleLate)
{
    // A transient on the right: strip 1 runs second, so strip 0 picks it up on the next sample.
    const int n = 4800;
    const std::vector<float> left(static_cast<size_t>(n), 0.0f);
    const auto right = burst(n, 100, 1000, 1.0f);
    TZParams p = compressorParams(0.0f, 8.0f, 50.0f, true);
    p.linkMode = 1;
    TzDynamics a, b;
    a.prepare(48000.0);
    b.prepare(48000.0);
    a.applyParams(p);
    b.applyParams(p);
    const PairRun r = runPair(a, b, left, right);
    EXPECT_EQ(r.left[0].totalDb, 0.0f);
    int deep = 0;
    for (size_t i = 1; i < static_cast<size_t>(n); ++i)
    {
        ASSERT_EQ(r.left[i].totalDb, std::min(r.leftOwnComp[i], r.rightOwnComp[i - 1])) << i;
        ASSERT_EQ(r.right[i].totalDb, std::min(r.rightOwnComp[i], r.leftOwnComp[i])) << i;
        deep += r.right[i].totalDb < -1.0f;
    }
    EXPECT_GT(deep, 500);
}

TEST(DynamicsLink, LinkedStripWithSectionsOffFollowsItsPartner)
{
    const int n = 96000;
    std::vector<float> left = burst(n, 4800, 30000, 0.7f);
    const std::vector<float> right(static_cast<size_t>(n), 0.0f);

    TZParams leader = compressorParams(4.0f, 6.0f, 200.0f);
    leader.gateMode = 1;
    leader.gateThrDb = -10.0f;
    leader.gateRelMs = 50.0f;
    leader.linkMode = 1;
    TZParams follower; // compressor off, gate off
    follower.linkMode = 1;

    TzDynamics a, b;
    a.prepare(48000.0);
    b.prepare(48000.0);
    a.applyParams(leader);
    b.applyParams(follower);
    const PairRun r = runPair(a, b, left, right);
    float deepestComp = 0.0f, deepestGate = 0.0f;
    for (size_t i = 0; i < static_cast<size_t>(n); ++i)
    {
        ASSERT_EQ(r.right[i].totalDb, r.left[i].totalDb) << i;
        ASSERT_EQ(r.right[i].compDb, r.left[i].compDb) << i;
        deepestComp = std::min(deepestComp, r.left[i].compDb);
        deepestGate = std::min(deepestGate, r.left[i].totalDb - r.left[i].compDb);
    }
    EXPECT_LT(deepestComp, -3.0f);
    EXPECT_LT(deepestGate, -20.0f);
    // The follower's own (frozen) sections never ran.
    EXPECT_EQ(b.compEnv, -120.0f);
    EXPECT_EQ(b.gateEnv, -120.0f);
}

TEST(DynamicsLink, LinkTakesTheDeeperReductionSectionBySection)
{
    // Left: loud (compressed, gate open). Right: quiet (uncompressed, expander closed).
    const int n = 48000;
    const std::vector<float> left(static_cast<size_t>(n), 0.5f);
    const std::vector<float> right(static_cast<size_t>(n), dcForDb(-60.0));
    TZParams p = compressorParams(0.0f, 4.0f);
    p.gateMode = 1;
    p.gateThrDb = -10.0f;
    p.gateRangeDb = 30.0f;
    p.gateRelMs = 30.0f;
    p.linkMode = 1;
    TzDynamics a, b;
    a.prepare(48000.0);
    b.prepare(48000.0);
    a.applyParams(p);
    b.applyParams(p);
    runPair(a, b, left, right);
    const DynamicsGain gl = a.process(0.5f, &b);
    const DynamicsGain gr = b.process(dcForDb(-60.0), &a);
    // Settled: left compressor (threshold -20 dBFS, 4:1) at 20 log10(0.5) + 20 dB over; right expander
    // 28 dB below its -32 dBFS close threshold: -28 dB.
    const double leftComp = -0.75 * (20.0 * std::log10(0.5) + 20.0);
    EXPECT_NEAR(gl.compDb, leftComp, kSettledAttackTolDb);
    EXPECT_EQ(gr.compDb, gl.compDb);
    EXPECT_NEAR(gl.totalDb, leftComp - 28.0, kSettledGateTolDb);
    EXPECT_NEAR(gr.totalDb, leftComp - 28.0, kSettledGateTolDb);
    // Each strip's own readings stay its own.
    EXPECT_EQ(a.gateReductionDb, 0.0f);
    EXPECT_EQ(b.compReductionDb, 0.0f);
}

// ---------------------------------------------------------------------------------------------------------
// Parameters, lifecycle

TEST(DynamicsParams, RecordConversions)
{
    struct Case
    {
        const char* what;
        std::function<void(TZParams&)> set;
        std::function<double(const TzDynamics&)> get;
        double expected;
    };
    const Case cases[] = {
        {"comp threshold -20", [](TZParams& p) { p.compThrDb = 8.0f; },
         [](const TzDynamics& d) { return d.compThresholdDb; }, -12.0},
        {"comp threshold pull", [](TZParams& p) { p.compThrDb = 8.0f, p.compThrPull = true; },
         [](const TzDynamics& d) { return d.compThresholdDb; }, -32.0},
        {"gate threshold -20", [](TZParams& p) { p.gateThrDb = 7.0f; },
         [](const TzDynamics& d) { return d.gateThresholdDb; }, -13.0},
        {"gate threshold pull", [](TZParams& p) { p.gateThrDb = 7.0f, p.gateThrPull = true; },
         [](const TzDynamics& d) { return d.gateThresholdDb; }, -43.0},
        {"ratio 19.5 limits", [](TZParams& p) { p.compRatio = 19.5f; },
         [](const TzDynamics& d) { return d.compRatio; }, 1000.0},
        {"ratio 19.4 kept", [](TZParams& p) { p.compRatio = 19.4f; },
         [](const TzDynamics& d) { return d.compRatio; }, 19.4f},
        {"ratio below 1", [](TZParams& p) { p.compRatio = 0.3f; },
         [](const TzDynamics& d) { return d.compRatio; }, 1.0},
        {"range negative", [](TZParams& p) { p.gateRangeDb = -3.0f; },
         [](const TzDynamics& d) { return d.gateRangeDb; }, 0.0},
        {"hyst negative", [](TZParams& p) { p.gateHystDb = -1.0f; },
         [](const TzDynamics& d) { return d.gateHystDb; }, 0.0},
        {"comp release", [](TZParams& p) { p.compRelMs = 2899.0f; },
         [](const TzDynamics& d) { return d.compReleaseMs; }, 2899.0},
        {"gate release", [](TZParams& p) { p.gateRelMs = 45.0f; },
         [](const TzDynamics& d) { return d.gateReleaseMs; }, 45.0},
        {"linked", [](TZParams& p) { p.linkMode = 1; }, [](const TzDynamics& d) { return d.stereoLinked; },
         1.0},
        {"dual", [](TZParams& p) { p.linkMode = 0; }, [](const TzDynamics& d) { return d.stereoLinked; },
         0.0},
        {"gate mode", [](TZParams& p) { p.gateMode = 1; }, [](const TzDynamics& d) { return d.gateMode; },
         1.0},
        {"switches", [](TZParams& p) { p.compOn = p.compFast = p.gateFast = p.gateInvert = true; },
         [](const TzDynamics& d) { return d.compOn + 2 * d.compFast + 4 * d.gateFast + 8 * d.gateInvert; },
         15.0},
    };
    for (const auto& c : cases)
    {
        TzDynamics d;
        d.prepare(48000.0);
        TZParams p;
        c.set(p);
        d.applyParams(p);
        EXPECT_DOUBLE_EQ(c.get(d), c.expected) << c.what;
    }
}

TEST(DynamicsLifecycle, PrepareResetsStateApplyParamsAndSwitchingOffDoNot)
{
    TZParams p = compressorParams(0.0f, 4.0f);
    p.gateMode = 2;
    TzDynamics d;
    d.prepare(48000.0);
    d.applyParams(p);
    for (float x : musicLike(20000, 48000.0, 1))
        d.process(x, nullptr);
    const auto running = stateOf(d);

    // New settings: envelopes untouched.
    TZParams q = compressorParams(12.0f, 2.0f, 1000.0f, true);
    q.gateMode = 1;
    q.gateThrDb = 5.0f;
    d.applyParams(q);
    EXPECT_EQ(stateOf(d), running);

    // Sections off: nothing moves, whatever the detector does, and no reduction comes out.
    q.compOn = false;
    q.gateMode = 0;
    d.applyParams(q);
    for (float x : {1.0f, 0.0f, 0.3f, -0.9f})
        EXPECT_EQ(d.process(x, nullptr).totalDb, 0.0f);
    EXPECT_EQ(stateOf(d), running);

    // prepare: envelopes back to -120 dB, reductions to 0, gate closed; settings stay.
    d.prepare(96000.0);
    EXPECT_EQ(stateOf(d), (std::vector<float>{-120.0f, -120.0f, 0.0f, -120.0f, 0.0f, 0.0f, 0.0f}));
    EXPECT_FLOAT_EQ(d.gateThresholdDb, -15.0f);
    EXPECT_FLOAT_EQ(d.compRatio, 2.0f);
}

// ---------------------------------------------------------------------------------------------------------
// Bad input, subnormals

TEST(DynamicsRobustness, NonFiniteAndSubnormalDetectorActsLikeSilence)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), inf, -inf, 1e-40f, -1e-42f};
    TZParams p = compressorParams(0.0f, 6.0f, 3300.0f);
    p.gateMode = 1;
    const auto warm = musicLike(5000, 48000.0, 2);
    for (float b : bad)
    {
        TzDynamics a, ref;
        for (TzDynamics* d : {&a, &ref})
        {
            d->prepare(48000.0);
            d->applyParams(p);
            for (float x : warm)
                d->process(x, nullptr);
        }
        for (int i = 0; i < 500; ++i)
        {
            const DynamicsGain ga = a.process(b, nullptr);
            const DynamicsGain gr = ref.process(0.0f, nullptr);
            ASSERT_EQ(ga.totalDb, gr.totalDb) << b;
        }
        EXPECT_EQ(stateOf(a), stateOf(ref)) << b;
    }
}

TEST(DynamicsRobustness, NonFiniteSettingsKeepThePreviousValues)
{
    TZParams p = compressorParams(8.0f, 3.0f, 250.0f);
    p.gateMode = 1;
    p.gateThrDb = -5.0f;
    TzDynamics d;
    d.prepare(48000.0);
    d.applyParams(p);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    TZParams bad = p;
    bad.compThrDb = nan;
    bad.compRatio = nan;
    bad.compRelMs = std::numeric_limits<float>::infinity();
    bad.gateThrDb = -std::numeric_limits<float>::infinity();
    bad.gateRangeDb = nan;
    bad.gateRelMs = nan;
    bad.gateHystDb = nan;
    d.applyParams(bad);
    EXPECT_FLOAT_EQ(d.compThresholdDb, -12.0f);
    EXPECT_FLOAT_EQ(d.compRatio, 3.0f);
    EXPECT_FLOAT_EQ(d.compReleaseMs, 250.0f);
    EXPECT_FLOAT_EQ(d.gateThresholdDb, -25.0f);
    EXPECT_FLOAT_EQ(d.gateRangeDb, 40.0f);
    EXPECT_FLOAT_EQ(d.gateReleaseMs, 300.0f);
    EXPECT_FLOAT_EQ(d.gateHystDb, 2.0f);
    for (float x : musicLike(20000, 48000.0, 4))
    {
        const DynamicsGain g = d.process(x, nullptr);
        ASSERT_TRUE(std::isfinite(g.totalDb) && std::isfinite(g.compDb));
    }
}

TEST(DynamicsRobustness, HugeDetectorKeepsEverythingFinite)
{
    for (float huge : {1e30f, -1e30f, FLT_MAX})
    {
        TZParams p = compressorParams(0.0f, 20.0f, 3300.0f);
        p.gateMode = 1;
        TzDynamics d;
        d.prepare(48000.0);
        d.applyParams(p);
        for (int i = 0; i < 2000; ++i)
        {
            const DynamicsGain g = d.process(huge, nullptr);
            ASSERT_TRUE(std::isfinite(g.totalDb) && std::isfinite(g.compDb));
            ASSERT_LE(g.totalDb, 0.0f);
        }
        for (float x : musicLike(48000, 48000.0, 3))
        {
            const DynamicsGain g = d.process(x, nullptr);
            ASSERT_TRUE(std::isfinite(g.totalDb) && std::isfinite(g.compDb));
        }
        for (float v : stateOf(d))
            EXPECT_TRUE(std::isfinite(v));
    }
}

TEST(DynamicsRobustness, EnvelopesNeverSitInTheSubnormalRange)
{
    // A full-scale DC level is exactly 0 dB, and an open gate's gain glides to exactly 0 dB: both are
    // geometric approaches to zero that would pass through subnormals.
    TZParams p = compressorParams(20.0f, 4.0f, 3300.0f);
    p.gateMode = 2;
    p.gateThrDb = -10.0f;
    TzDynamics d;
    d.prepare(48000.0);
    d.applyParams(p);
    auto isNormalOrZero = [](float v) { return v == 0.0f || std::fabs(v) >= FLT_MIN; };
    const std::pair<float, int> phases[] = {{1.0f, 96000}, {0.0f, 96000}, {-1.0f, 96000}, {0.0f, 480000}};
    for (const auto& ph : phases)
    {
        for (int i = 0; i < ph.second; ++i)
        {
            d.process(ph.first, nullptr);
            for (float v : stateOf(d))
                ASSERT_TRUE(isNormalOrZero(v))
                    << "value " << v << " at level " << ph.first << " sample " << i;
        }
    }
    EXPECT_NEAR(d.gateEnv, -140.0f, kSettledGateTolDb);
    EXPECT_NEAR(d.gateGainDb, -40.0f, 0.05f); // 300 ms release: resolution ulp(40) / (2c) = 0.03 dB
}
