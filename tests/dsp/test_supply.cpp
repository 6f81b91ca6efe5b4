#include "dsp/TzSupply.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

using omvitz::TzSupply;

namespace
{

constexpr double kPi = 3.14159265358979323846;

// The noise floor's generator, stepped on its own: 32-bit LCG from 909091, read as signed, times 2^-31.
struct NoiseLcg
{
    std::uint32_t state = 909091u;
    double next()
    {
        state = state * 1664525u + 1013904223u;
        const std::int64_t s = state < 0x80000000u ? static_cast<std::int64_t>(state)
                                                   : static_cast<std::int64_t>(state) - 4294967296LL;
        return static_cast<double>(s) / 2147483648.0;
    }
};

// A straight transcription of the supply model with the library's sines and canonical draws, double
// arithmetic for every intermediate and float only where the model keeps float state.
struct ReferenceSupply
{
    double sr;
    float presence = 0.0f;
    double humPhase = 0.0;
    float humDrift = 0.0f;
    float rectPhase = 0.0f;
    float rectLp = 0.0f;
    float railDrift = 0.0f;
    float railJitter[8] = {};
    int railOldest = 0;
    float wander = 0.0f;
    float jitter[8] = {};
    int jitterOldest = 0;
    float sag = 0.0f;
    float rippleAngle = 0.0f;
    float rippleInc;
    NoiseLcg noise;
    int counter = 0;
    int period;
    std::mt19937 wanderRng{1}, humRng{2}, jitterRng{3}, sagRng{4}, railRng{11};

    explicit ReferenceSupply(double rate)
        : sr(rate), rippleInc(static_cast<float>(2.0 * kPi * 100.0 / rate)),
          period(static_cast<int>(std::floor(0.001 * rate + 1e-9)))
    {
    }

    static float draw(std::mt19937& g) { return std::generate_canonical<float, 32>(g); }

    static float foldInto(float v, float limit)
    {
        if (v > limit)
            return limit - (v - limit) / 2;
        if (v < -limit)
            return -limit + (-limit - v) / 2;
        return v;
    }

    double process(float g)
    {
        const float p = std::fabs(g) > 0.0001f ? 1.0f : 0.0f;
        presence += (p - presence) * (p > presence ? 0.02f : 0.0003f);

        humPhase += (1.0 + humDrift) * 50.0 / sr;
        if (humPhase >= 1.0)
            humPhase -= 1.0;
        const double th = 2.0 * kPi * humPhase;
        const double h = std::sin(th) + 0.03 * std::sin(3.0 * th) + 0.01 * std::sin(5.0 * th);

        const double load = (0.5 * std::fabs(g) + 0.05) * 0.001;
        rectPhase += static_cast<float>(100.0 / sr);
        if (rectPhase >= 1.0f)
            rectPhase -= 1.0f;
        const double w = 1.4 * std::fabs(std::sin(2.0 * kPi * rectPhase)) - 0.6 +
                         0.3 * std::sin(4.0 * kPi * rectPhase + 0.5);
        const double k = 100.0 * kPi / sr;
        rectLp = static_cast<float>(rectLp + k / (1.0 + k) * (w - rectLp));
        const double nominal = 18.5;
        const double rail = nominal * (1.0 + railDrift) - load + 0.00054054055 * (w - rectLp) + 0.0001 * h;
        const double deviation = 0.4 * (rail - nominal) / nominal;

        rippleAngle += rippleInc;
        if (rippleAngle > 2.0 * kPi)
            rippleAngle = static_cast<float>(rippleAngle - 2.0 * kPi);

        const double n = noise.next();
        const double y = (1.0 + deviation) * g + 8e-6 * h * presence +
                         6.4e-6 * std::sin(static_cast<double>(rippleAngle)) * presence + 3.9e-6 * n;
        if (++counter >= period)
        {
            counter = 0;
            update();
        }
        return y;
    }

    void update()
    {
        wander = foldInto(wander + 1e-5f * (2.0f * draw(wanderRng) - 1.0f), 0.05f);
        humDrift = foldInto(humDrift + 5e-5f * (2.0f * draw(humRng) - 1.0f), 0.004f);
        jitter[jitterOldest] = 2.0f * draw(jitterRng) - 1.0f;
        jitterOldest = (jitterOldest + 1) % 8;
        double sum = 0.0;
        for (float v : jitter)
            sum += v;
        const double j = sum / 8.0 * 0.02;
        if (sag != 0.0f)
            sag = static_cast<float>(sag * std::exp(-0.001 / 0.7));
        if (draw(sagRng) < 0.001 * 0.0111111)
            sag = static_cast<float>(-5e-5 * (0.5 + 0.5 * draw(sagRng)));
        const double d = wander + j + sag;
        railJitter[railOldest] = 2.0f * draw(railRng) - 1.0f;
        railOldest = (railOldest + 1) % 8;
        double railSum = 0.0;
        for (float v : railJitter)
            railSum += v;
        railDrift = static_cast<float>(d * 0.0005 + railSum / 8.0 * 0.0003);
    }
};

// A test programme: silence, music-like material, signal under -80 dBFS, silence, a quiet tone.
std::vector<float> programme(double sr)
{
    std::vector<float> v;
    auto secs = [sr](double s) { return static_cast<int>(s * sr); };
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    v.insert(v.end(), static_cast<size_t>(secs(0.25)), 0.0f);
    for (int i = 0; i < secs(0.5); ++i)
        v.push_back(static_cast<float>(0.25 * std::sin(2.0 * kPi * 220.0 * i / sr) +
                                       0.1 * std::sin(2.0 * kPi * 3100.0 * i / sr) + 0.02 * uni(rng)));
    for (int i = 0; i < secs(0.25); ++i)
        v.push_back(static_cast<float>(5e-5 * std::sin(2.0 * kPi * 440.0 * i / sr)));
    v.insert(v.end(), static_cast<size_t>(secs(0.5)), 0.0f);
    for (int i = 0; i < secs(0.25); ++i)
        v.push_back(static_cast<float>(2e-4 * std::sin(2.0 * kPi * 1000.0 * i / sr)));
    return v;
}

// Output tolerance against the double reference: the float output's own rounding plus a floor far below
// the -108 dBFS noise.
double outputTolerance(double y)
{
    return 1.2e-7 * std::fabs(y) + 1e-12;
}

bool normalOrZero(float v)
{
    return v == 0.0f || std::fabs(v) >= FLT_MIN;
}

std::vector<float> floatState(const TzSupply& s)
{
    std::vector<float> v = {s.signalPresence, s.humDrift,     s.rectPhase,     s.rectLp,      s.railDrift,
                            s.supplyWander,   s.supplySag,    s.rippleAngle,   s.railNominal, s.railLoadCoef,
                            s.railRippleAmp,  s.railCoupling, s.rippleAngleInc};
    v.insert(v.end(), std::begin(s.railJitter), std::end(s.railJitter));
    v.insert(v.end(), std::begin(s.supplyJitter), std::end(s.supplyJitter));
    return v;
}

} // namespace

// ---------------------------------------------------------------------------------------------------------

TEST(SupplyReference, MatchesAnIndependentTranscriptionSampleBySample)
{
    for (double sr : {44100.0, 48000.0, 96000.0})
    {
        TzSupply s;
        s.prepare(sr);
        ReferenceSupply ref(sr);
        double worst = 0.0;
        for (float g : programme(sr))
        {
            const float y = s.process(g);
            const double yr = ref.process(g);
            ASSERT_NEAR(y, yr, outputTolerance(yr)) << "rate " << sr;
            worst = std::max(worst, std::fabs(y - yr) / outputTolerance(yr));
        }
        EXPECT_LT(worst, 1.0);
    }
}

TEST(SupplyReference, LongRunWithATickEverySampleIncludingSagEvents)
{
    // At 1 kHz the tick period is one sample, so 300000 samples cover 300 s of drift, jitter and sags.
    const double sr = 1000.0;
    TzSupply s;
    s.prepare(sr);
    ASSERT_EQ(s.tickPeriod, 1);
    ReferenceSupply ref(sr);

    // Ticks at which sags start, from the sag source on its own: one draw per tick, a second on an event.
    std::mt19937 sagSource(4);
    std::vector<std::pair<int, float>> events;
    for (int t = 0; t < 300000; ++t)
        if (std::generate_canonical<float, 32>(sagSource) < 0.001 * 0.0111111)
            events.push_back(
                {t, static_cast<float>(-5e-5 * (0.5 + 0.5 * std::generate_canonical<float, 32>(sagSource)))});
    ASSERT_FALSE(events.empty());

    size_t nextEvent = 0;
    float humDriftPeak = 0.0f;
    for (int i = 0; i < 300000; ++i)
    {
        const float g = (i / 5000) % 2 ? 0.5f : 0.0f;
        const float before = s.supplySag;
        const float y = s.process(g);
        const double yr = ref.process(g);
        ASSERT_NEAR(y, yr, outputTolerance(yr)) << "sample " << i;
        // Sample i ends with tick i.
        if (nextEvent < events.size() && events[nextEvent].first == i)
        {
            ASSERT_FLOAT_EQ(s.supplySag, events[nextEvent].second) << "sag event at tick " << i;
            ++nextEvent;
        }
        else if (before != 0.0f)
        {
            // Recovery by exp(-1 ms / 0.7 s) per tick, ending on exactly 0 once it is below 1e-15.
            const double recovered = before * std::exp(-0.001 / 0.7);
            ASSERT_NEAR(s.supplySag, std::fabs(recovered) < 1e-15 ? 0.0 : recovered, 1e-6 * std::fabs(before))
                << i;
        }
        else
            ASSERT_EQ(s.supplySag, 0.0f) << i;
        humDriftPeak = std::max(humDriftPeak, std::fabs(s.humDrift));
        for (float v : floatState(s))
            ASSERT_TRUE(normalOrZero(v)) << "subnormal state at sample " << i;
    }
    EXPECT_EQ(nextEvent, events.size());
    EXPECT_LE(humDriftPeak, 0.004f);
}

TEST(SupplySilence, FreshModelOutputsTheNoiseFloorAlone)
{
    TzSupply s;
    s.prepare(48000.0);
    NoiseLcg lcg;
    double peak = 0.0;
    for (int i = 0; i < 200000; ++i)
    {
        const double expected = 3.9e-6 * lcg.next();
        const float y = s.process(0.0f);
        ASSERT_NEAR(y, expected, 1e-12) << i;
        peak = std::max(peak, std::fabs(static_cast<double>(y)));
    }
    // About -108 dBFS peak: 20 log10(3.9e-6) = -108.18.
    EXPECT_NEAR(20.0 * std::log10(peak), -108.18, 0.05);
}

TEST(SupplySilence, AfterSignalStopsTheOutputFadesBackToTheNoiseFloor)
{
    TzSupply s;
    s.prepare(48000.0);
    NoiseLcg lcg;
    for (int i = 0; i < 24000; ++i)
    {
        s.process(static_cast<float>(0.3 * std::sin(i * 0.05)));
        lcg.next();
    }
    ASSERT_GT(s.signalPresence, 0.999f);
    // Right after the signal, hum and ripple still ride on the floor...
    double early = 0.0;
    for (int i = 0; i < 960; ++i)
        early = std::max(early, std::fabs(s.process(0.0f) - 3.9e-6 * lcg.next()));
    EXPECT_GT(early, 5e-6);
    // ...and once the presence has decayed the output is the floor alone, sample for sample.
    for (int i = 0; i < 100000; ++i)
    {
        s.process(0.0f);
        lcg.next();
    }
    EXPECT_EQ(s.signalPresence, 0.0f);
    for (int i = 0; i < 50000; ++i)
        ASSERT_NEAR(s.process(0.0f), 3.9e-6 * lcg.next(), 1e-12) << i;

    // The fade itself never passes through subnormals (a plain 0.9997 decay would from about 290000
    // samples on and then stick there).
    TzSupply t;
    t.prepare(48000.0);
    for (int i = 0; i < 4800; ++i)
        t.process(0.5f);
    for (int i = 0; i < 400000; ++i)
    {
        t.process(0.0f);
        for (float v : floatState(t))
            ASSERT_TRUE(normalOrZero(v)) << "sample " << i;
    }
}

TEST(SupplyPresence, RisesInAbout50SamplesAndFallsInAbout3300)
{
    TzSupply s;
    s.prepare(48000.0);
    int riseCrossing = -1;
    for (int n = 1; n <= 400; ++n)
    {
        s.process(0.001f);
        ASSERT_NEAR(s.signalPresence, 1.0 - std::pow(0.98, n), 1e-5) << n;
        if (riseCrossing < 0 && s.signalPresence >= 1.0 - std::exp(-1.0))
            riseCrossing = n;
    }
    EXPECT_EQ(riseCrossing, static_cast<int>(std::ceil(-1.0 / std::log(0.98)))); // 50
    const double start = s.signalPresence;
    int fallCrossing = -1;
    for (int n = 1; n <= 20000; ++n)
    {
        s.process(0.0f);
        ASSERT_NEAR(s.signalPresence, start * std::pow(0.9997, n), 1e-5) << n;
        if (fallCrossing < 0 && s.signalPresence <= start * std::exp(-1.0))
            fallCrossing = n;
    }
    EXPECT_NEAR(fallCrossing, -1.0 / std::log(0.9997), 2.0); // 3333
}

TEST(SupplyPresence, ThresholdIsMinus80Dbfs)
{
    struct Case
    {
        float g;
        bool rises;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {0.0f, false},      {1e-4f, false}, {-1e-4f, false},
        {1.0001e-4f, true}, {-2e-4f, true}, {0.5f, true},
        {inf, true},        {-inf, true},   {std::numeric_limits<float>::quiet_NaN(), false}};
    for (const auto& c : cases)
    {
        TzSupply s;
        s.prepare(48000.0);
        s.process(c.g);
        EXPECT_FLOAT_EQ(s.signalPresence, c.rises ? 0.02f : 0.0f) << c.g;
    }
}

TEST(SupplyTick, PeriodIsAWholeNumberOfSamples)
{
    struct Case
    {
        double sr;
        int period;
    };
    const Case cases[] = {{44100.0, 44}, {48000.0, 48},   {88200.0, 88}, {96000.0, 96},
                          {22050.0, 22}, {192000.0, 192}, {8000.0, 8}};
    for (const auto& c : cases)
    {
        TzSupply s;
        s.prepare(c.sr);
        EXPECT_EQ(s.tickPeriod, c.period) << c.sr;
        // The update changes the rail drift; it must change on exactly every period-th sample, and only
        // after that sample's output.
        ReferenceSupply ref(c.sr);
        float drift = s.railDrift;
        for (int i = 1; i <= 20 * c.period; ++i)
        {
            const float y = s.process(0.5f);
            ASSERT_NEAR(y, ref.process(0.5f), outputTolerance(y));
            EXPECT_EQ(s.tickCounter, i % c.period) << c.sr << " sample " << i;
            EXPECT_EQ(s.railDrift != drift, i % c.period == 0) << c.sr << " sample " << i;
            drift = s.railDrift;
        }
    }
}

TEST(SupplyDeterminism, ModelsPreparedTogetherProduceIdenticalOutput)
{
    TzSupply left, right;
    left.prepare(48000.0);
    right.prepare(48000.0);
    const auto in = programme(48000.0);
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(left.process(in[i]), right.process(in[i])) << i;
    // Silence on both sides: the added hum, ripple and noise are the same samples.
    for (int i = 0; i < 48000; ++i)
        ASSERT_EQ(left.process(0.0f), right.process(0.0f));
}

TEST(SupplyPrepare, ReseedsSourcesResetsHumAndTickAndCarriesTheRest)
{
    TzSupply s;
    s.prepare(48000.0);
    for (float g : programme(48000.0))
        s.process(g);
    for (int i = 0; i < 17; ++i)
        s.process(0.2f);
    const auto carried = std::vector<float>{s.signalPresence, s.humDrift,     s.rectPhase, s.rectLp,
                                            s.railDrift,      s.supplyWander, s.supplySag, s.rippleAngle};
    const std::uint32_t seed = s.outputNoiseSeed;
    ASSERT_NE(s.tickCounter, 0);
    ASSERT_NE(s.humPhase, 0.0);

    s.prepare(44100.0);
    EXPECT_EQ(s.humPhase, 0.0);
    EXPECT_EQ(s.tickCounter, 0);
    EXPECT_EQ(s.tickPeriod, 44);
    EXPECT_FLOAT_EQ(s.rippleAngleInc, static_cast<float>(2.0 * kPi * 100.0 / 44100.0));
    EXPECT_EQ(s.outputNoiseSeed, seed);
    EXPECT_EQ((std::vector<float>{s.signalPresence, s.humDrift, s.rectPhase, s.rectLp, s.railDrift,
                                  s.supplyWander, s.supplySag, s.rippleAngle}),
              carried);
    EXPECT_TRUE(s.wanderRng == std::mt19937(1));
    EXPECT_TRUE(s.humDriftRng == std::mt19937(2));
    EXPECT_TRUE(s.jitterRng == std::mt19937(3));
    EXPECT_TRUE(s.sagRng == std::mt19937(4));
    EXPECT_TRUE(s.railRng == std::mt19937(11));
    // The noise continues its sequence rather than restarting.
    NoiseLcg lcg;
    lcg.state = seed;
    lcg.next();
    s.process(0.0f);
    EXPECT_EQ(s.outputNoiseSeed, lcg.state);
}

TEST(SupplyRandom, CanonicalIsTheStandardOneWordConversion)
{
    std::mt19937 words(12345), canon(12345);
    for (int i = 0; i < 200000; ++i)
    {
        const float mine = TzSupply::canonical(static_cast<std::uint32_t>(words()));
        ASSERT_EQ(mine, (std::generate_canonical<float, 32>(canon))) << i;
        ASSERT_TRUE(mine >= 0.0f && mine < 1.0f);
    }
    EXPECT_TRUE(words == canon) << "exactly one 32-bit output per draw";
    EXPECT_EQ(TzSupply::canonical(0u), 0.0f);
    EXPECT_EQ(TzSupply::canonical(0x80000000u), 0.5f);
    EXPECT_EQ(TzSupply::canonical(0xffffffffu), std::nextafter(1.0f, 0.0f));
}

TEST(SupplyHelpers, FoldReflectsHalfTheExcess)
{
    struct Case
    {
        float v, limit, expected;
    };
    const Case cases[] = {{0.06f, 0.05f, 0.045f},  {-0.07f, 0.05f, -0.04f},     {0.05f, 0.05f, 0.05f},
                          {-0.05f, 0.05f, -0.05f}, {0.0041f, 0.004f, 0.00395f}, {-0.003f, 0.004f, -0.003f},
                          {0.0f, 0.004f, 0.0f}};
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(TzSupply::fold(c.v, c.limit), c.expected) << c.v;
}

TEST(SupplyHelpers, SineInCyclesIsAccurateToBelowFloatRounding)
{
    double worst = 0.0;
    for (int i = -200000; i <= 400000; ++i)
    {
        const double x = i * 5.0000001e-6;
        worst = std::max(worst, std::fabs(TzSupply::sinCycles(x) - std::sin(2.0 * kPi * x)));
    }
    EXPECT_LT(worst, 1e-9);
    EXPECT_EQ(TzSupply::sinCycles(0.0), 0.0);
    EXPECT_NEAR(TzSupply::sinCycles(0.25), 1.0, 1e-9);
    EXPECT_NEAR(TzSupply::sinCycles(0.75), -1.0, 1e-9);
}

TEST(SupplyRobustness, NonFiniteInputLeavesNoTrace)
{
    struct Case
    {
        float bad, twin; // the twin gets a finite input with the same effect on the presence detector
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {{std::numeric_limits<float>::quiet_NaN(), 0.0f},
                          {inf, 1.0f},
                          {-inf, -1.0f},
                          {1e30f, 1.0f},
                          {-FLT_MAX, -1.0f},
                          {1e-40f, 0.0f}};
    const auto warm = programme(48000.0);
    for (const auto& c : cases)
    {
        TzSupply a, b;
        a.prepare(48000.0);
        b.prepare(48000.0);
        for (size_t i = 0; i < 30000; ++i)
        {
            a.process(warm[i]);
            b.process(warm[i]);
        }
        a.process(c.bad);
        b.process(c.twin);
        for (float v : floatState(a))
            ASSERT_TRUE(std::isfinite(v)) << c.bad;
        ASSERT_TRUE(std::isfinite(a.humPhase));
        for (size_t i = 30000; i < 40000; ++i)
        {
            const float ya = a.process(warm[i]);
            ASSERT_TRUE(std::isfinite(ya)) << c.bad;
            ASSERT_EQ(ya, b.process(warm[i])) << c.bad << " sample " << i;
        }
    }
}
