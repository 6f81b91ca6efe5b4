#pragma once

#include <juce_core/juce_core.h>

namespace tzstrip
{

// Each command takes the arguments after its name and returns the process exit status.
int runInfo(const juce::StringArray& args);
int runRender(const juce::StringArray& args);
int runCurves(const juce::StringArray& args);

} // namespace tzstrip
