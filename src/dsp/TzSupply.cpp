#include "dsp/TzSupply.h"

namespace omvitz
{

void TzSupply::prepare(double) {}

float TzSupply::process(float g)
{
    return g;
}

} // namespace omvitz
