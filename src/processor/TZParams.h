#pragma once

// The per-block record of every control value in engineering units. Filled by the processor once per
// block and read by the channel strips. Plain C++ so that the DSP library can use it without JUCE.

namespace omvitz
{

struct TZParams
{
    float micGainDb = 20.0f;
    float lineGainDb = 0.0f;
    bool phaseInvert = false;
    bool lineSelected = true;
    bool pad = false;

    float hpfHz = 31.5f;
    bool hpfOn = false;
    float lpfHz = 18000.0f;
    bool lpfOn = false;

    int gateMode = 0;
    float gateThrDb = -10.0f;
    float gateRangeDb = 40.0f;
    float gateRelMs = 300.0f;
    float gateHystDb = 2.0f;
    bool gateFast = false;
    bool gateInvert = false;
    bool gateKey = false;
    bool gateThrPull = false;

    bool compOn = false;
    float compThrDb = 20.0f;
    float compRatio = 4.0f;
    float compRelMs = 300.0f;
    float compMakeupDb = 0.0f;
    bool compFast = false;
    bool compAuto = true;
    bool compThrPull = false;

    bool eqOn = true;
    bool eqSidechain = false;
    bool eqPreDyn = false;

    float loFreq = 100.0f;
    float loGainDb = 0.0f;
    bool loShelf = true;
    bool loHiQ = false;
    float m1Freq = 580.0f;
    float m1GainDb = 0.0f;
    float m1Q = 1.0f;
    float m2Freq = 3600.0f;
    float m2GainDb = 0.0f;
    float m2Q = 1.0f;
    float hiFreq = 7000.0f;
    float hiGainDb = 0.0f;
    bool hiShelf = true;
    bool hiHiQ = false;

    float faderDb = 0.0f;
    float outTrimDb = 0.0f;
    int linkMode = 0;
};

} // namespace omvitz
