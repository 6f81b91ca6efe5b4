#pragma once

#include "circuit/Circuit.h"

namespace omvipccn
{

// A circuit wrapped as a per-sample processor: drives one voltage source, steps the simulator once per sample
// and reads one node. Subclasses supply the netlist and the scales in build().
class CircuitStage
{
public:
    virtual ~CircuitStage() = default;

    // Builds (or rebuilds) the circuit for the rate, brings it to its operating point and sets the scales.
    virtual void build(double sampleRate) = 0;

    // One simulator step: x in input units, gain reduction in dB; returns the output in output units. The
    // signal enters `drive` times larger and leaves `drive` times smaller, so the small-signal gain stays the
    // same while the circuit's nonlinearity grows with the reduction.
    double processStage(float x, double gainReductionDb);

    pccn::Circuit circuit;
    int sourceIndex = -1;     // component index of the input source, -1 if absent
    int outNode = 0;          // node read as the output, 0 = none
    double inScale = 1.0;     // volts per input unit, before drive
    double outScale = 1.0;    // output units per volt, after drive compensation
    double drive = 1.0;       // drive factor of the current gain reduction
    double dcLevel = 0.0;     // resting output voltage, subtracted from every output
    double driveSlope = 0.06; // drive increase per dB of gain reduction
    double outScaleBase = 1.0;
};

// The VCA's gain cell: a bipolar differential pair on +-15 V with 6.81 k collector loads and a 13 k tail,
// input on Q1's base, Q2's base grounded (its saturation current 2 % higher), output at Q1's collector.
class PccnVca : public CircuitStage
{
public:
    void build(double sampleRate) override;
};

} // namespace omvipccn
