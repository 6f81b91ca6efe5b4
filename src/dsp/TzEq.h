#pragma once

#include "circuit/PccnOpAmpBaked.h"
#include "dsp/Biquad.h"

#include <array>
#include <cstddef>

namespace omvitz
{

// Taps of the 2x resampler, built at compile time from the stored first half of the prototype.
namespace eqtaps
{
constexpr std::array<float, 46> half = {
    -9.95226874e-05f, 0.000223837545f, -7.16941431e-05f, -0.000241250367f, 0.000139792886f,  0.000360048143f,
    -0.000262767862f, -0.00050758163f, 0.000455793401f,  0.000692832808f,  -0.000725587015f, -0.000910209259f,
    0.00109714945f,   0.00116480177f,  -0.00158857182f,  -0.00145221967f,  0.00222816831f,   0.00177269615f,
    -0.00304328487f,  -0.00212096632f, 0.00407012878f,   0.00249329605f,   -0.00534989452f,  -0.00288265781f,
    0.00693693152f,   0.00328213419f,  -0.00890185218f,  -0.00368288718f,  0.0113450577f,    0.00407612091f,
    -0.0144158686f,   -0.00445235893f, 0.0183539428f,    0.00480221445f,   -0.023572119f,    -0.00511631044f,
    0.0308530219f,    0.0053862487f,   -0.0418810621f,   -0.00560483057f,  0.0610525943f,    0.00576540222f,
    -0.104519792f,    -0.00586363394f, 0.317778975f,     0.505896866f};

constexpr std::array<float, 91> full()
{
    std::array<float, 91> h{};
    for (std::size_t i = 0; i < 46; ++i)
    {
        h[i] = half[i];
        h[90 - i] = half[i];
    }
    return h;
}

// Every second tap of 2 h, starting at offset.
template<std::size_t Taps> constexpr std::array<float, Taps> phase(std::size_t offset)
{
    const std::array<float, 91> h = full();
    std::array<float, Taps> p{};
    for (std::size_t j = 0; j < Taps; ++j)
        p[j] = 2.0f * h[2 * j + offset];
    return p;
}

// The prototype without its first tap, followed by zeros up to Span entries.
template<std::size_t Span> constexpr std::array<float, Span> olderTaps()
{
    const std::array<float, 91> h = full();
    std::array<float, Span> p{};
    for (std::size_t i = 1; i < 91; ++i)
        p[i - 1] = h[i];
    return p;
}

// Taps followed by zeros up to Span entries.
template<std::size_t Span, std::size_t Taps>
constexpr std::array<float, Span> padded(const std::array<float, Taps>& t)
{
    std::array<float, Span> p{};
    for (std::size_t j = 0; j < Taps; ++j)
        p[j] = t[j];
    return p;
}
} // namespace eqtaps

// Four-band equaliser (LF, LMF, HMF, HF in series). Each band is a second-order section followed by an
// NE5534 follower stage; the chain runs at twice the host rate between a polyphase interpolator and a
// decimator that share one 91-tap linear-phase prototype, so the signal is delayed by exactly
// latencySamples host samples.
class TzEq
{
public:
    static constexpr int latencySamples = 45;

    static constexpr std::size_t prototypeTaps = 91;
    static constexpr std::size_t phase0Taps = 46; // even prototype taps
    static constexpr std::size_t phase1Taps = 45; // odd prototype taps

    // First half of the resampling prototype h[0] ... h[45] (h[45] is the centre, h[90 - i] = h[i]), the
    // whole prototype (the decimator) and the interpolator's two polyphase components of 2 h.
    static constexpr std::array<float, 46> prototypeHalf = eqtaps::half;
    static constexpr std::array<float, prototypeTaps> prototype = eqtaps::full();
    static constexpr std::array<float, phase0Taps> phase0 = eqtaps::phase<phase0Taps>(0);
    static constexpr std::array<float, phase1Taps> phase1 = eqtaps::phase<phase1Taps>(1);

    struct Band
    {
        int type = 1; // 0 low shelf, 1 bell, 2 high shelf
        float freqHz = 1000.0f;
        float gainDb = 0.0f;
        float q = 0.71f;
    };

    // Each band's second-order section: transposed direct form II, double precision, a0 = 1.
    using Section = Biquad;

    // Coefficients of one band design (a0 = 1).
    struct Coefficients
    {
        double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
    };

    // The band designs, each for a gain in dB, an effective Q and a centre or corner f0 (Hz) at rate. Each
    // reports whether it completed with finite coefficients and writes c only then. recomputeBand tries
    // the three bells in the order given.
    // Peaking filter with prescribed Nyquist gain (Orfanidis), band edges at the geometric-mean gain.
    static bool designBellNyquist(double gainDb, double qe, double f0, double rate, Coefficients& c);
    // Matched peaking filter: impulse-invariant poles, zeros matched to the analogue bell.
    static bool designBellMatched(double gainDb, double qe, double f0, double rate, Coefficients& c);
    // Audio EQ Cookbook bell; completes for any finite arguments that keep a0 away from 0.
    static bool designBellCookbook(double gainDb, double qe, double f0, double rate, Coefficients& c);
    // Audio EQ Cookbook shelves (highShelf false: low shelf).
    static bool designShelf(bool highShelf, double gainDb, double qe, double f0, double rate,
                            Coefficients& c);

    // rate = 2 * hostSampleRate; configures the stages, clears every state and designs all four bands.
    void prepare(double hostSampleRate);
    // Designs the band's section from its settings and rate; the section's states are left as they are.
    void recomputeBand(int band);
    // One host-rate sample in, one out, latencySamples later.
    float processSample(float x);

    std::array<omvipccn::PccnOpAmpBaked, 4> stages;
    double rate = 96000.0;
    float qScale = 0.7f;
    std::array<Band, 4> bands;
    std::array<Section, 4> sections;

    // Ring buffers stored twice in a row, newest sample at the write index and older ones above it, so
    // that a window of consecutive samples is always contiguous. The dot products read whole blocks of
    // eight, windows of upSpan and downSpan samples whose last taps are 0; what a window reads beyond the
    // second copy lies in a few extra entries that stay 0.
    static constexpr std::size_t upSpan = 48;
    static constexpr std::size_t downSpan = 96;
    std::array<float, phase0Taps + upSpan> upHistory{};
    int upWriteIndex = 0;
    std::array<float, prototypeTaps + downSpan> downHistory{};
    int downWriteIndex = 0;

private:
    static constexpr std::array<float, upSpan> phase0Span = eqtaps::padded<upSpan>(phase0);
    static constexpr std::array<float, upSpan> phase1Span = eqtaps::padded<upSpan>(phase1);
    // h[1] ... h[90]: the decimator's taps for every 2x-rate sample but the newest.
    static constexpr std::array<float, downSpan> olderSpan = eqtaps::olderTaps<downSpan>();

    void pushDown(float z);
};

} // namespace omvitz
