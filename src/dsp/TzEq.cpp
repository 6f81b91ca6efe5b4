#include "dsp/TzEq.h"

namespace omvitz
{

void TzEq::prepare(double hostSampleRate)
{
    rate = 2.0 * hostSampleRate;
    for (auto& stage : stages)
        stage.configure(omvipccn::sharedNE5534Curve(19.0), rate, false);
    history.fill(0.0f);
    writeIndex = 0;
    for (int band = 0; band < 4; ++band)
        recomputeBand(band);
}

// The bands are not designed yet: the equaliser passes the signal flat, with its processing delay.
void TzEq::recomputeBand(int) {}

float TzEq::processSample(float x)
{
    const float out = history[writeIndex];
    history[writeIndex] = x;
    writeIndex = (writeIndex + 1) % latencySamples;
    return out;
}

} // namespace omvitz
