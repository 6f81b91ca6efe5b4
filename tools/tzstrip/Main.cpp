#include "Commands.h"
#include "HostedPlugin.h"

#include <juce_events/juce_events.h>

#include <iostream>

namespace
{
constexpr const char* usage =
    "usage: tzstrip info BUNDLE\n"
    "       tzstrip render BUNDLE [IN.wav] OUT.wav [--set ID=VALUE]... [--key KEY.wav]\n"
    "                      [--rate HZ] [--block N] [--mono]\n"
    "                      [--state IN.vstpreset] [--preset IN.tzpreset] [--save-state OUT.vstpreset]\n"
    "       tzstrip curves DIR\n";
}

int main(int argc, char* argv[])
{
    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add(juce::String::fromUTF8(argv[i]));
    if (args.isEmpty() || args[0] == "--help" || args[0] == "-h")
    {
        std::cout << usage;
        return args.isEmpty() ? 2 : 0;
    }

    const juce::ScopedJuceInitialiser_GUI juce;
    const auto command = args[0];
    args.remove(0);
    try
    {
        if (command == "info")
            return tzstrip::runInfo(args);
        if (command == "render")
            return tzstrip::runRender(args);
        if (command == "curves")
            return tzstrip::runCurves(args);
        throw tzstrip::CommandError("unknown command '" + command.toStdString() + "' (try --help)");
    }
    catch (const tzstrip::CommandError& e)
    {
        std::cerr << "tzstrip: " << e.what() << std::endl;
        return 1;
    }
}
