#include "Commands.h"
#include "HostedPlugin.h"

#include "circuit/NE5534Curve.h"
#include "circuit/VcaCurve.h"

#include <iostream>
#include <vector>

namespace tzstrip
{
namespace
{
// One row per table entry: the entry's input, its deviation (output minus input) and the running integral.
void writeTable(const juce::File& file, double range, double delta, const std::vector<double>& deviation,
                const std::vector<double>& integral)
{
    juce::String text;
    text.preallocateBytes(deviation.size() * 64);
    text << "input,deviation,integral\n";
    const auto number = [](double v) { return juce::String::formatted("%.17g", v); };
    for (size_t k = 0; k < deviation.size(); ++k)
        text << number(static_cast<double>(k) * delta - range) << ',' << number(deviation[k]) << ','
             << number(integral[k]) << '\n';
    if (!file.replaceWithText(text, false, false, "\n"))
        throw CommandError("cannot write " + file.getFullPathName().toStdString());
}
} // namespace

int runCurves(const juce::StringArray& args)
{
    if (args.size() != 1)
        throw CommandError("usage: tzstrip curves DIR");
    const auto dir = juce::File::getCurrentWorkingDirectory().getChildFile(args[0]);
    if (!dir.createDirectory())
        throw CommandError("cannot create the folder " + dir.getFullPathName().toStdString());

    omvipccn::bakeSharedCurves();
    for (const int rail : {19, 16})
    {
        const auto& curve = omvipccn::sharedNE5534Curve(rail);
        writeTable(dir.getChildFile("opamp_" + juce::String(rail) + ".csv"), curve.range, curve.delta,
                   curve.deviation, curve.integral);
    }
    const auto& vca = omvipccn::sharedVcaCurve();
    for (int t = 0; t < omvipccn::VcaCurve::numPoints; ++t)
        writeTable(
            dir.getChildFile("vca_" + juce::String(juce::roundToInt(vca.gainPoints[size_t(t)])) + ".csv"),
            vca.range, vca.delta, vca.deviation[size_t(t)], vca.integral[size_t(t)]);
    std::cout << "Curves written to " << dir.getFullPathName() << std::endl;
    return 0;
}

} // namespace tzstrip
