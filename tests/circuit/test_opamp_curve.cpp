#include "circuit/NE5534Curve.h"
#include "circuit/PccnOpAmpBaked.h"
#include "circuit/VcaCurve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <limits>
#include <thread>
#include <vector>

using omvipccn::NE5534Curve;
using omvipccn::PccnOpAmpBaked;
using omvipccn::sharedNE5534Curve;

namespace
{

constexpr double kVoltsPerUnit = 3.472;
constexpr double kTwoPi = 6.283185307179586;

// Output voltage of the baked follower (input plus deviation) at input v.
double curveOut(const NE5534Curve& c, double v)
{
    return v + c.lk(c.deviation, v);
}

} // namespace

// First in this file so that, run on its own, it exercises the concurrent first use: three threads ask for
// the 19 V curve at once (one through the parallel bake of all curves); they all get one object, baked once.
TEST(OpAmpCurve, ConcurrentFirstUseGetsOneObjectBakedOnce)
{
    const NE5534Curve* seen[3] = {};
    std::thread a([&] { seen[0] = &sharedNE5534Curve(19.0); });
    std::thread b([&] { seen[1] = &sharedNE5534Curve(19.0); });
    std::thread c(
        [&]
        {
            omvipccn::bakeSharedCurves();
            seen[2] = &sharedNE5534Curve(19.0);
        });
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[0], seen[2]);
    EXPECT_EQ(seen[0], &sharedNE5534Curve(18.9));
    EXPECT_NE(seen[0], &sharedNE5534Curve(16.0));
    EXPECT_EQ(omvipccn::sharedNE5534BakeCount(19.0), 1);
    EXPECT_EQ(omvipccn::sharedNE5534BakeCount(16.0), 1);
    EXPECT_EQ(omvipccn::sharedVcaBakeCount(), 1);
}

// The shared curves come from the parallel first bake; a private sequential bake of the same rail gives the
// same tables to the last bit (each curve's simulation is sequential whatever runs beside it).
TEST(OpAmpCurve, ParallelBakeMatchesASequentialBakeBitForBit)
{
    omvipccn::bakeSharedCurves();
    const NE5534Curve& shared = sharedNE5534Curve(16.0);
    NE5534Curve own;
    own.bake(16.0);
    EXPECT_EQ(own.delta, shared.delta);
    EXPECT_TRUE(own.deviation == shared.deviation);
    EXPECT_TRUE(own.integral == shared.integral);
}

// Both tables: 8192 entries on 2 * 24 V / 8191 spacing, the output curve never falls, and the deviation reads
// 0 at 0 V. The offset is subtracted at the midpoint of entries 4095/4096 before the 5-tap binomial
// smoothing, which reproduces straight lines exactly; what it can still move there is the bins' scatter. Each
// bin averages samples spread over less than one bin width, so the scatter, and with it the midpoint after
// smoothing, stays below a quarter of a bin (about 1.5 mV) in the follower's unity-gain region.
TEST(OpAmpCurve, TablesHaveFullSizeNeverFallAndReadZeroAtZero)
{
    for (const double rail : {19.0, 16.0})
    {
        SCOPED_TRACE(rail);
        const NE5534Curve& c = sharedNE5534Curve(rail);
        ASSERT_TRUE(c.baked);
        ASSERT_EQ(c.deviation.size(), 8192u);
        ASSERT_EQ(c.integral.size(), 8192u);
        EXPECT_EQ(c.range, 24.0);
        EXPECT_DOUBLE_EQ(c.delta, 48.0 / 8191.0);
        EXPECT_EQ(c.integral.front(), 0.0);

        EXPECT_LE(std::fabs(c.lk(c.deviation, 0.0)), 0.25 * c.delta);

        for (int k = 1; k < 8192; ++k)
        {
            const double prev = (k - 1) * c.delta - c.range + c.deviation[k - 1];
            const double here = k * c.delta - c.range + c.deviation[k];
            ASSERT_GE(here, prev - 1e-12) << "entry " << k;
        }
    }
}

// The integral table is the running integral of the deviation: its central difference quotient over a few
// bins equals the deviation in between (to the curvature over that width).
TEST(OpAmpCurve, IntegralTableDifferentiatesToTheDeviation)
{
    const NE5534Curve& c = sharedNE5534Curve(19.0);
    for (const double v : {-20.0, -16.0, -5.0, -0.3, 0.0, 2.7, 11.0, 18.2, 22.0})
    {
        const double h = 2.0 * c.delta;
        const double quotient = (c.lk(c.integral, v + h) - c.lk(c.integral, v - h)) / (2.0 * h);
        EXPECT_NEAR(quotient, c.lk(c.deviation, v), 2e-3) << v;
    }
}

// Clip points and tracking worked out from the netlist, for each rail:
// - Negative limit: once Q5 is cut off, the output is only the divider Rc2 (15 k to -rail) against Rload
//   (100 k to ground): -rail * 100/115. Q1's base current there is at most ~1 uA (the tail has ~1.8 V across
//   9 k) into 13 k, i.e. ~10 mV: the limit lies within 0.1 V of the divider.
// - Positive limit: Q5 saturates, leaving the output a saturation voltage (a few tenths of a volt at ~2.7 mA)
//   below +rail: between rail - 1 V and rail.
// - Tracking: open-loop gain ~ Gm1 * (r_o || r_pi5) * gm5 * (Rc2 || Rload) ~ 4 mS * 5 k * 49 mS * 11 k ~ 1e4,
//   i.e. ~1e-4 of the output in gain error (< 2 mV); the mirror's base-current error and Q5's base current
//   (2 I / beta + Ib5, 2 .. 20 uA over the swing) against 1/(re + Re) ~ 1/240 .. 1/360 S give an input
//   offset of 0.6 .. 5 mV, of which the part at 0 V (~2.7 mV) is removed. Away from the clip points
//   (1.5 V above the negative, 2 V below the positive rail) the deviation therefore stays within 5 mV.
TEST(OpAmpCurve, FollowerTracksThenClipsAsymmetrically)
{
    struct Limits
    {
        double low, high;
    };
    Limits limits[2] = {};
    int n = 0;
    for (const double rail : {19.0, 16.0})
    {
        SCOPED_TRACE(rail);
        const NE5534Curve& c = sharedNE5534Curve(rail);
        const double negativeLimit = -rail * 100.0 / 115.0;

        const double low = curveOut(c, -c.range);
        const double high = curveOut(c, c.range);
        EXPECT_NEAR(low, negativeLimit, 0.1);
        EXPECT_GT(high, rail - 1.0);
        EXPECT_LT(high, rail);
        limits[n++] = {low, high};

        double worst = 0.0;
        for (double v = negativeLimit + 1.5; v <= rail - 2.0; v += 0.01)
            worst = std::max(worst, std::fabs(c.lk(c.deviation, v)));
        EXPECT_LE(worst, 0.005);

        // Beyond the clip points the output no longer follows: it stays at the limits.
        EXPECT_NEAR(curveOut(c, negativeLimit - 2.0), low, 0.05);
        EXPECT_NEAR(curveOut(c, rail + 2.0), high, 0.05);
    }
    // The lower rail clips lower on both sides: by the 3 V rail difference on top, 3 * 100/115 V at the
    // bottom.
    EXPECT_NEAR(limits[0].high - limits[1].high, 3.0, 0.3);
    EXPECT_NEAR(limits[1].low - limits[0].low, 3.0 * 100.0 / 115.0, 0.1);
}

TEST(OpAmpStage, ConfigureSetsRateDependentValuesAndClearsState)
{
    const NE5534Curve& c = sharedNE5534Curve(16.0);
    for (const double fs : {44100.0, 48000.0, 96000.0, 192000.0})
    {
        SCOPED_TRACE(fs);
        PccnOpAmpBaked stage;
        stage.configure(c, fs, true);
        for (int i = 0; i < 100; ++i)
            stage.processSample(0.7f);
        ASSERT_NE(stage.dcState, 0.0f);
        stage.configure(c, fs, false);
        EXPECT_EQ(stage.curve, &c);
        EXPECT_FLOAT_EQ(stage.slewPerSample, static_cast<float>(1.3e7 / fs));
        const double w = kTwoPi * 9.0 / fs;
        EXPECT_NEAR(stage.dcCoef, w / (1.0 + w), 1e-7);
        EXPECT_FALSE(stage.dcBlock);
        EXPECT_EQ(stage.vSlew, 0.0f);
        EXPECT_EQ(stage.hPrev, 0.0);
        EXPECT_EQ(stage.dcState, 0.0f);
    }
}

// Zero in: h = hPrev = 0 reads the deviation at 0, which the bake zeroed (to within the smoothing bound of
// the table test, 1.5 mV, i.e. 4.3e-4 full scale); the DC blocker only removes what little that leaves.
TEST(OpAmpStage, ZeroInGivesZeroOut)
{
    for (const double rail : {19.0, 16.0})
        for (const bool dc : {false, true})
        {
            PccnOpAmpBaked stage;
            stage.configure(sharedNE5534Curve(rail), 48000.0, dc);
            for (int i = 0; i < 1000; ++i)
                ASSERT_LE(std::fabs(stage.processSample(0.0f)), 0.25 * (48.0 / 8191.0) / kVoltsPerUnit);
            EXPECT_EQ(stage.vSlew, 0.0f);
            EXPECT_EQ(stage.hPrev, 0.0);
        }
}

// A held input: after the first sample hPrev = h, the midpoint rule reads D(h), and every later sample gives
// exactly (h + D(h)) / 3.472 with h the input in volts clamped to +-24 V.
TEST(OpAmpStage, HeldInputGivesTheSameOutputEverySample)
{
    const NE5534Curve& c = sharedNE5534Curve(19.0);
    for (const float x : {-9.0f, -4.0f, -0.2f, 0.0f, 0.3f, 2.5f, 5.4f, 8.0f})
    {
        SCOPED_TRACE(x);
        PccnOpAmpBaked stage;
        stage.configure(c, 48000.0, false);
        stage.processSample(x);
        const double h = std::clamp(kVoltsPerUnit * x, -24.0, 24.0);
        const float expected = static_cast<float>((h + c.lk(c.deviation, h)) / kVoltsPerUnit);
        for (int i = 0; i < 64; ++i)
            ASSERT_EQ(stage.processSample(x), expected) << "sample " << i;
    }
}

// The blocker is s += (u - s) c, y = u - s with c = w / (1 + w), w = 2 pi 9 Hz / fs. For a constant curve
// output u (from the second sample on, after u1 on the first) the closed form is
// y[n] = (u - c u1) (1 - c)^(n - 1), a decay with time constant ~ fs / (2 pi 9 Hz) samples; and a 9 Hz sine
// comes out at |(1 - c)(1 - z^-1) / (1 - (1 - c) z^-1)| ~ 1/sqrt(2) of its unblocked level.
TEST(OpAmpStage, DcBlockerRemovesOffsetWithNineHertzCorner)
{
    const NE5534Curve& c = sharedNE5534Curve(16.0);
    for (const double fs : {44100.0, 96000.0})
    {
        SCOPED_TRACE(fs);
        const double w = kTwoPi * 9.0 / fs;
        const double coef = w / (1.0 + w);

        PccnOpAmpBaked plain;
        PccnOpAmpBaked blocked;
        plain.configure(c, fs, false);
        blocked.configure(c, fs, true);
        const float x = 0.8f;
        const double u1 = plain.processSample(x);
        const double u = plain.processSample(x);
        ASSERT_GT(u, 0.7);
        EXPECT_NEAR(blocked.processSample(x), u1 * (1.0 - coef), 1e-6);
        const int tau = static_cast<int>(std::round(1.0 / w));
        for (int n = 2; n <= 8 * tau; ++n)
        {
            const float y = blocked.processSample(x);
            if (n % tau == 0)
            {
                EXPECT_NEAR(y, (u - coef * u1) * std::pow(1.0 - coef, n - 1), 2e-4 * u) << n;
            }
        }

        // Magnitude at the 9 Hz corner, small signal (the curve is a straight line there).
        PccnOpAmpBaked sine;
        sine.configure(c, fs, true);
        const int period = static_cast<int>(std::round(fs / 9.0));
        double peak = 0.0;
        for (int i = 0; i < 12 * period; ++i)
        {
            const float y = sine.processSample(static_cast<float>(0.1 * std::sin(kTwoPi * 9.0 * i / fs)));
            if (i >= 10 * period)
                peak = std::max(peak, static_cast<double>(std::fabs(y)));
        }
        const std::complex<double> z = std::polar(1.0, kTwoPi * 9.0 / fs);
        const double response = std::abs((1.0 - coef) * (1.0 - 1.0 / z) / (1.0 - (1.0 - coef) / z));
        EXPECT_NEAR(response, 1.0 / std::sqrt(2.0), 0.01);
        EXPECT_NEAR(peak / 0.1, response, 0.01);
    }
}

// The internal voltage moves at most 1.3e7 / fs volts per sample (13 V/us): a jump to 200 full scale (694 V)
// takes three samples at 48 kHz (270.8 V per sample), half as many volts per sample at 96 kHz, and a jump
// back to 0 keeps the output clipped at the top until the slewed voltage is back inside the +-24 V span.
TEST(OpAmpStage, SlewLimitCapsTheVoltageChangePerSample)
{
    const NE5534Curve& c = sharedNE5534Curve(19.0);
    const double top = (c.range + c.deviation.back()) / kVoltsPerUnit;
    for (const double fs : {48000.0, 96000.0})
    {
        SCOPED_TRACE(fs);
        const double slew = 1.3e7 / fs;
        const double target = 200.0 * kVoltsPerUnit;
        PccnOpAmpBaked stage;
        stage.configure(c, fs, false);

        double expectedV = 0.0;
        for (int i = 0; i < 8; ++i)
        {
            stage.processSample(200.0f);
            expectedV = std::min(target, expectedV + slew);
            ASSERT_NEAR(stage.vSlew, expectedV, 1e-3) << i;
        }
        int clippedAfterRelease = 0;
        for (int i = 0; i < 10; ++i)
        {
            const float y = stage.processSample(0.0f);
            expectedV = std::max(0.0, expectedV - slew);
            ASSERT_NEAR(stage.vSlew, expectedV, 1e-3) << i;
            if (expectedV > c.range)
            {
                EXPECT_FLOAT_EQ(y, static_cast<float>(top));
                ++clippedAfterRelease;
            }
        }
        EXPECT_EQ(clippedAfterRelease, static_cast<int>(std::ceil((target - c.range) / slew)) - 1);
    }
}

// Beyond +-24 V / 3.472 (~6.91 full scale) the input is clamped before the curve is read: the output sits at
// the end entries, (+-24 + deviation at the end) / 3.472, the follower's clip levels.
TEST(OpAmpStage, InputsBeyondTheTableSpanSaturateAtTheEndValues)
{
    const NE5534Curve& c = sharedNE5534Curve(16.0);
    const float top = static_cast<float>((c.range + c.deviation.back()) / kVoltsPerUnit);
    const float bottom = static_cast<float>((-c.range + c.deviation.front()) / kVoltsPerUnit);
    EXPECT_NEAR(top * kVoltsPerUnit, 16.0, 1.0);
    EXPECT_NEAR(bottom * kVoltsPerUnit, -16.0 * 100.0 / 115.0, 0.1);
    for (const float x : {7.0f, 12.0f, 1e4f, 3e38f, -7.0f, -12.0f, -1e4f, -3e38f})
    {
        SCOPED_TRACE(x);
        PccnOpAmpBaked stage;
        stage.configure(c, 48000.0, false);
        stage.processSample(x);
        for (int i = 0; i < 50; ++i)
            ASSERT_EQ(stage.processSample(x), x > 0 ? top : bottom);
    }
}

// A NaN or infinite sample is played as 0 V: its output and everything after it are exactly those of a stage
// that was given 0 in its place, and no state holds a non-finite value.
TEST(OpAmpStage, NonFiniteInputLeavesNoTrace)
{
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    for (const float b : bad)
    {
        SCOPED_TRACE(b);
        PccnOpAmpBaked hit;
        PccnOpAmpBaked reference;
        hit.configure(sharedNE5534Curve(16.0), 48000.0, true);
        reference.configure(sharedNE5534Curve(16.0), 48000.0, true);
        for (int i = 0; i < 400; ++i)
        {
            const float x = static_cast<float>(2.0 * std::sin(kTwoPi * 440.0 * i / 48000.0));
            if (i == 100)
            {
                ASSERT_EQ(hit.processSample(b), reference.processSample(0.0f));
                ASSERT_TRUE(std::isfinite(hit.vSlew) && std::isfinite(hit.hPrev) &&
                            std::isfinite(hit.dcState));
                continue;
            }
            ASSERT_EQ(hit.processSample(x), reference.processSample(x)) << i;
        }
    }
}

// A 5 kHz sine at 44.1 kHz driven well into both clip levels (6 full scale = 20.8 V peak) creates harmonics
// far above Nyquist that fold back. 441 samples hold exactly 50 periods, so every harmonic and every alias
// falls on an exact bin of a 441-point DFT (100 Hz spacing): the true harmonics below Nyquist sit on bins 50,
// 100, 150, 200 and everything else above DC is aliasing. The antiderivative path is compared with a plain
// table lookup of the same curve; measured: 8.95 dB less aliased energy (19 V curve; a midpoint-only lookup,
// for comparison, gains 3.2 dB). The assertion keeps a conservative 6 dB.
TEST(OpAmpStage, AntiderivativePathAliasesLessThanPlainLookup)
{
    const NE5534Curve& c = sharedNE5534Curve(19.0);
    constexpr double fs = 44100.0;
    constexpr int n = 441;
    constexpr int warmup = 3 * n;

    PccnOpAmpBaked stage;
    stage.configure(c, fs, false);
    std::vector<double> adaa(n);
    std::vector<double> plain(n);
    for (int i = 0; i < warmup + n; ++i)
    {
        const float x = static_cast<float>(6.0 * std::sin(kTwoPi * 5000.0 * i / fs));
        const float y = stage.processSample(x);
        const double h = std::clamp(kVoltsPerUnit * x, -c.range, c.range);
        const float p = static_cast<float>((h + c.lk(c.deviation, h)) / kVoltsPerUnit);
        if (i >= warmup)
        {
            adaa[static_cast<std::size_t>(i - warmup)] = y;
            plain[static_cast<std::size_t>(i - warmup)] = p;
        }
    }

    const auto aliasEnergy = [&](const std::vector<double>& s)
    {
        double energy = 0.0;
        for (int k = 1; k <= n / 2; ++k)
        {
            if (k % 50 == 0)
                continue; // a true harmonic
            std::complex<double> sum = 0.0;
            for (int i = 0; i < n; ++i)
                sum += s[static_cast<std::size_t>(i)] * std::polar(1.0, -kTwoPi * ((k * i) % n) / n);
            energy += std::norm(sum);
        }
        return energy;
    };
    const double reductionDb = 10.0 * std::log10(aliasEnergy(plain) / aliasEnergy(adaa));
    RecordProperty("aliasReductionDb", std::to_string(reductionDb));
    std::printf("alias reduction with the antiderivative path: %.2f dB\n", reductionDb);
    EXPECT_GE(reductionDb, 6.0);
}
