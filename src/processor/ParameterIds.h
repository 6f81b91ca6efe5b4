#pragma once

#include <array>

namespace omvitz
{

// The control parameters in host order; the index into controlIds.
enum class Control
{
    inGain,
    lineGain,
    phase,
    inLine,
    forceMono,
    inPad,
    hpfHz,
    hpfOn,
    lpfHz,
    lpfOn,
    gateMode,
    gateThr,
    gateRange,
    gateRel,
    gateHyst,
    gateFast,
    gateInv,
    gateKey,
    gateThrPull,
    compOn,
    compThr,
    compRatio,
    compRel,
    compFast,
    compAuto,
    compThrPull,
    compMkp,
    eqOn,
    eqSidechain,
    eqPreDyn,
    loFreq,
    loGain,
    loShelf,
    loHiQ,
    m1Freq,
    m1Gain,
    m1Q,
    m2Freq,
    m2Gain,
    m2Q,
    hiFreq,
    hiGain,
    hiShelf,
    hiHiQ,
    fader,
    outTrim,
    linkMode,
    count
};

inline constexpr std::array<const char*, static_cast<int>(Control::count)> controlIds = {
    "inGain",   "lineGain",    "phase",       "inLine",  "forceMono",   "inPad",     "hpfHz",    "hpfOn",
    "lpfHz",    "lpfOn",       "gateMode",    "gateThr", "gateRange",   "gateRel",   "gateHyst", "gateFast",
    "gateInv",  "gateKey",     "gateThrPull", "compOn",  "compThr",     "compRatio", "compRel",  "compFast",
    "compAuto", "compThrPull", "compMkp",     "eqOn",    "eqSidechain", "eqPreDyn",  "loFreq",   "loGain",
    "loShelf",  "loHiQ",       "m1Freq",      "m1Gain",  "m1Q",         "m2Freq",    "m2Gain",   "m2Q",
    "hiFreq",   "hiGain",      "hiShelf",     "hiHiQ",   "fader",       "outTrim",   "linkMode"};

// The read-only meter outputs, after the controls, in host order.
enum class Meter
{
    grComp,
    grGate,
    mInPeak,
    mInRms,
    mOutPeak,
    mOutRms,
    count
};

inline constexpr std::array<const char*, static_cast<int>(Meter::count)> meterIds = {
    "grComp", "grGate", "mInPeak", "mInRms", "mOutPeak", "mOutRms"};

} // namespace omvitz
