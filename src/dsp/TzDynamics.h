#pragma once

#include "processor/TZParams.h"

namespace omvitz
{

// Reductions a strip applies for one sample: the total (compressor plus gate) and the compressor's share,
// which drives the automatic make-up. Both in dB, never above 0.
struct DynamicsGain
{
    float totalDb = 0.0f;
    float compDb = 0.0f;
};

// Compressor and gate/expander sharing one detector input.
class TzDynamics
{
public:
    void prepare(double sampleRate);
    void applyParams(const TZParams& p);

    // One detector sample in; the partner is the other strip's section when the pair is linked, else null.
    DynamicsGain process(float detector, const TzDynamics* partner);

    // Read by the partner and by the processor.
    bool compOn = false;
    int gateMode = 0;
    bool stereoLinked = false;
    float compReductionDb = 0.0f;
    float gateReductionDb = 0.0f;
};

} // namespace omvitz
