#pragma once

#include "circuit/PccnIron.h"
#include "circuit/PccnOpAmpBaked.h"
#include "circuit/VcaCurve.h"
#include "dsp/Biquad.h"
#include "dsp/TzDynamics.h"
#include "dsp/TzEq.h"
#include "dsp/TzSupply.h"
#include "processor/TZParams.h"

#include <array>
#include <cstdint>

namespace omvitz
{

// One console channel, processed a sample at a time: input stage, filters, equaliser or its matching delay,
// dynamics, VCA, make-up, fader, output amplifier, trim, output tilt and the supply model.
class TzChannelStrip
{
public:
    static constexpr int routingDelay = TzEq::latencySamples;

    void prepare(double newSampleRate);
    void applyParams(const TZParams& p);
    float processSample(float x, float key);

    // The compressor's and the gate's gain reductions as the meters show them: 0 while a section is off.
    float compReadingDb() const { return dynamics.compOn ? dynamics.compReductionDb : 0.0f; }
    float gateReadingDb() const { return dynamics.gateMode != 0 ? dynamics.gateReductionDb : 0.0f; }

    // Rate and smoothing
    double sampleRate = 48000.0;
    float smoothCoef = 1.0f;
    float inGain = 1.0f, faderGain = 1.0f, trimGain = 1.0f;
    float inGainTarget = 1.0f, faderGainTarget = 1.0f, trimGainTarget = 1.0f;

    // Input stage
    float polarity = 1.0f;
    float padGain = 1.0f, padMakeup = 1.0f;
    bool lineSelected = false;
    std::uint32_t inputNoiseSeed = 22222;
    float inputNoiseLp = 0.0f;
    omvipccn::PccnIron transformer;
    float ironLp = 0.0f;
    float ironLpCoef = 0.972f;
    omvipccn::PccnOpAmpBaked micAmp, lineAmp, eqAmp, outputAmp;

    // Filters
    bool hpfOn = false, lpfOn = false;
    float hpfHz = 31.5f, lpfHz = 18000.0f;
    Biquad hpf, lpf;

    // Equaliser and routing
    TzEq eq;
    bool eqOn = true, eqSidechain = false, eqPreDyn = false;
    std::array<float, routingDelay> eqDelay{};
    int eqDelayIndex = 0;

    // Dynamics; the partner is the other strip of a stereo pair, or null.
    TzDynamics dynamics;
    bool gateKey = false; // the external key feeds the detector
    TzChannelStrip* partner = nullptr;

    // VCA
    const omvipccn::VcaCurve* vcaCurve = nullptr;
    double vcaPrevIn = 0.0;

    // Make-up
    bool compAuto = true;
    float makeupDb = 0.0f, makeupGain = 1.0f;
    float autoGainDb = 0.0f;

    // Output
    float outLfState = 0.0f;
    float outLfCoef = 0.0f;
    TzSupply supply;

    int latencySamples = 0;

private:
    float inputStage(float s);
    float inputNoise();
    float delayed(float s);
    float equaliserStage(float s);
    float vcaColour(float s, float reductionDb);
    float makeup(float s, float compReductionDb);
    void updateFilters();
};

} // namespace omvitz
