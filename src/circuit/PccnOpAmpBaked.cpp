#include "circuit/PccnOpAmpBaked.h"

namespace omvipccn
{

void PccnOpAmpBaked::configure(const NE5534Curve& c, double sampleRate, bool withDcBlock)
{
    curve = &c;
    slewPerSample = static_cast<float>(1.3e7 / sampleRate);
    const double w = 56.548667764616219 / sampleRate; // 2 pi * 9 Hz / fs
    dcCoef = static_cast<float>(w / (1.0 + w));
    dcBlock = withDcBlock;
    vSlew = 0.0f;
    hPrev = 0.0;
    dcState = 0.0f;
    iPrev = 0.0;
    iPrevKnown = false;
    perDelta = 0.0;
}

bool PccnOpAmpBaked::bindCurve()
{
    if (curve == nullptr || !curve->baked || !(curve->delta > 0.0))
        return false;
    perDelta = 1.0 / curve->delta;
    return true;
}

} // namespace omvipccn
