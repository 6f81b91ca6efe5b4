#include "circuit/PccnVca.h"

#include "circuit/Components.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace omvipccn
{

double CircuitStage::processStage(float x, double gainReductionDb)
{
    drive = 1.0 + driveSlope * std::min(std::fabs(gainReductionDb), 24.0);
    outScale = outScaleBase / drive;

    if (sourceIndex >= 0 && sourceIndex < static_cast<int>(circuit.inputs.size()))
        circuit.inputs[static_cast<std::size_t>(sourceIndex)] = static_cast<double>(x) * inScale * drive;
    circuit.step();

    const double v = circuit.nodeVoltage(outNode) - dcLevel; // a missing node reads 0 V
    return v * outScale;
}

void PccnVca::build(double sampleRate)
{
    circuit = pccn::Circuit();

    const int vp = circuit.addNode("vp");
    const int vn = circuit.addNode("vn");
    const int in = circuit.addNode("in");
    const int c1 = circuit.addNode("c1");
    const int c2 = circuit.addNode("c2");
    const int tail = circuit.addNode("tail");

    circuit.add(std::make_unique<pccn::VoltageSource>("Vp", vp, 0, 15.0));
    circuit.add(std::make_unique<pccn::VoltageSource>("Vn", vn, 0, -15.0));
    circuit.add(std::make_unique<pccn::VoltageSource>("Vsig", in, 0, 0.0));
    circuit.add(std::make_unique<pccn::Resistor>("Rc1", vp, c1, 6810.0));
    circuit.add(std::make_unique<pccn::Resistor>("Rc2", vp, c2, 6810.0));
    circuit.add(std::make_unique<pccn::Resistor>("Rtail", tail, vn, 13000.0));
    circuit.add(std::make_unique<pccn::Resistor>("Rb2", c2, 0, 1e9));
    circuit.add(std::make_unique<pccn::NPN_BJT>("Q1", in, c1, tail, 1e-15, 400, 1, 110));
    circuit.add(std::make_unique<pccn::NPN_BJT>("Q2", 0, c2, tail, 1.02e-15, 400, 1, 110));

    circuit.prepare(sampleRate);
    circuit.dcOperatingPoint_(); // a starting point only; the owner settles the circuit by stepping

    sourceIndex = circuit.findComponent("Vsig");
    outNode = circuit.findNode("c1");
    inScale = 0.0009;
    // Output at the inverting collector, hence the negative scale.
    outScale = outScaleBase = -15.782828282828284;
}

} // namespace omvipccn
