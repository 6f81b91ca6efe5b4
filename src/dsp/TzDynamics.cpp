#include "dsp/TzDynamics.h"

namespace omvitz
{

void TzDynamics::prepare(double)
{
    compReductionDb = 0.0f;
    gateReductionDb = 0.0f;
}

void TzDynamics::applyParams(const TZParams& p)
{
    compOn = p.compOn;
    gateMode = p.gateMode;
    stereoLinked = p.linkMode == 1;
}

DynamicsGain TzDynamics::process(float, const TzDynamics*)
{
    return {};
}

} // namespace omvitz
