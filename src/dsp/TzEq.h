#pragma once

#include "circuit/PccnOpAmpBaked.h"

#include <array>

namespace omvitz
{

// Four-band equaliser run at twice the host rate; it delays the signal by exactly latencySamples.
class TzEq
{
public:
    static constexpr int latencySamples = 45;

    struct Band
    {
        int type = 1; // 0 low shelf, 1 bell, 2 high shelf
        float freqHz = 1000.0f;
        float gainDb = 0.0f;
        float q = 0.71f;
    };

    void prepare(double hostSampleRate);
    void recomputeBand(int band);
    float processSample(float x);

    std::array<omvipccn::PccnOpAmpBaked, 4> stages;
    double rate = 96000.0;
    std::array<Band, 4> bands;

private:
    std::array<float, latencySamples> history{};
    int writeIndex = 0;
};

} // namespace omvitz
