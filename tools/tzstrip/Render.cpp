#include "Commands.h"
#include "HostedPlugin.h"
#include "State.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <cmath>
#include <iostream>
#include <optional>
#include <utility>
#include <vector>

namespace tzstrip
{
namespace
{
constexpr double defaultRate = 48000.0;
constexpr int defaultBlock = 512;
constexpr int maxBlock = 65536;
constexpr double demoSeconds = 4.0;

struct RenderOptions
{
    juce::String bundle;
    juce::String input;
    juce::String output;
    juce::String key;
    juce::String state;     // a VST3 preset file applied before the settings
    juce::String preset;    // a strip preset file applied after the state
    juce::String saveState; // where the state goes after processing
    std::vector<std::pair<juce::String, juce::String>> settings; // ID and value, applied in the order given
    std::optional<double> rate;
    int block = defaultBlock;
    bool mono = false;
};

struct Audio
{
    juce::AudioBuffer<float> samples;
    double rate = defaultRate;
};

int parseInt(const juce::String& text, const char* what)
{
    if (text.isEmpty() || !text.containsOnly("0123456789"))
        throw CommandError(std::string("not a whole number for ") + what + ": " + text.toStdString());
    return text.getIntValue();
}

RenderOptions parseRenderArgs(const juce::StringArray& args)
{
    RenderOptions options;
    juce::StringArray positional;
    for (int i = 0; i < args.size(); ++i)
    {
        const auto& arg = args[i];
        const auto next = [&]() -> juce::String
        {
            if (i + 1 >= args.size())
                throw CommandError(arg.toStdString() + " needs a value");
            return args[++i];
        };
        if (arg == "--set")
        {
            const auto setting = next();
            const auto id = setting.upToFirstOccurrenceOf("=", false, false).trim();
            if (!setting.contains("=") || id.isEmpty())
                throw CommandError("--set takes ID=VALUE, not " + setting.toStdString());
            options.settings.emplace_back(id, setting.fromFirstOccurrenceOf("=", false, false).trim());
        }
        else if (arg == "--key")
            options.key = next();
        else if (arg == "--state")
            options.state = next();
        else if (arg == "--preset")
            options.preset = next();
        else if (arg == "--save-state")
            options.saveState = next();
        else if (arg == "--rate")
        {
            const int rate = parseInt(next(), "--rate");
            if (rate < 8000 || rate > 384000)
                throw CommandError("--rate must be between 8000 and 384000 Hz");
            options.rate = rate;
        }
        else if (arg == "--block")
        {
            options.block = parseInt(next(), "--block");
            if (options.block < 1 || options.block > maxBlock)
                throw CommandError("--block must be between 1 and " + std::to_string(maxBlock));
        }
        else if (arg == "--mono")
            options.mono = true;
        else if (arg.startsWith("--"))
            throw CommandError("unknown option " + arg.toStdString());
        else
            positional.add(arg);
    }
    if (positional.size() < 2 || positional.size() > 3)
        throw CommandError("usage: tzstrip render BUNDLE [IN.wav] OUT.wav [options]");
    options.bundle = positional[0];
    options.output = positional[positional.size() - 1];
    if (positional.size() == 3)
        options.input = positional[1];
    return options;
}

juce::File fileFor(const juce::String& path)
{
    return juce::File::getCurrentWorkingDirectory().getChildFile(path);
}

Audio readAudio(const juce::String& path)
{
    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    const auto file = fileFor(path);
    std::unique_ptr<juce::AudioFormatReader> reader(formats.createReaderFor(file));
    if (reader == nullptr)
        throw CommandError("cannot read audio file " + file.getFullPathName().toStdString() +
                           " (missing, or not WAV or AIFF)");
    if (reader->numChannels < 1 || reader->numChannels > 2)
        throw CommandError("only mono and stereo files are supported: " +
                           file.getFullPathName().toStdString());
    if (reader->lengthInSamples > std::numeric_limits<int>::max() || reader->sampleRate < 8000.0 ||
        reader->sampleRate > 384000.0)
        throw CommandError("unsupported length or sample rate in " + file.getFullPathName().toStdString());

    Audio audio;
    audio.rate = reader->sampleRate;
    const int length = static_cast<int>(reader->lengthInSamples);
    audio.samples.setSize(static_cast<int>(reader->numChannels), length);
    if (!reader->read(&audio.samples, 0, length, 0, true, true))
        throw CommandError("cannot read the samples of " + file.getFullPathName().toStdString());
    return audio;
}

// A few seconds that exercise the strip: drum-like hits, a sustained chord, a loud passage that drives the
// amplifiers and dynamics, and a tail of silence for the noise floor.
Audio demoSignal(double rate)
{
    constexpr double twoPi = 6.283185307179586;
    Audio audio;
    audio.rate = rate;
    const int length = static_cast<int>(demoSeconds * rate);
    audio.samples.setSize(2, length);
    juce::Random random(20261211);
    for (int i = 0; i < length; ++i)
    {
        const double t = i / rate;
        const double beat = std::fmod(t, 0.5);
        const double kick =
            0.5 * std::exp(-beat * 18.0) * std::sin(twoPi * (50.0 + 80.0 * std::exp(-beat * 30.0)) * beat);
        const double hat = std::fmod(t + 0.25, 0.5) < 0.03 ? 0.15 * (random.nextFloat() * 2.0f - 1.0f) : 0.0;
        const double swell = t < 2.0 ? 0.1 : (t < 3.0 ? 0.45 : 0.0);
        const double chordL = std::sin(twoPi * 220.0 * t) + std::sin(twoPi * 277.2 * t);
        const double chordR = std::sin(twoPi * 220.0 * t) + std::sin(twoPi * 329.6 * t);
        const double drums = t < 3.5 ? kick + hat : 0.0;
        audio.samples.setSample(0, i, static_cast<float>(drums + swell * chordL * 0.5));
        audio.samples.setSample(1, i, static_cast<float>(drums * 0.8 + swell * chordR * 0.5));
    }
    return audio;
}

float normalisedFor(juce::AudioProcessorParameter& parameter, const juce::String& id,
                    const juce::String& value)
{
    if (!parameter.isAutomatable())
        throw CommandError(id.toStdString() + " is a read-only meter");
    const int steps = parameter.getNumSteps();
    if (parameter.isDiscrete() && steps >= 2 && steps < 64)
    {
        for (int i = 0; i < steps; ++i)
        {
            const float normalised = static_cast<float>(i) / static_cast<float>(steps - 1);
            if (value == juce::String(i) || value.equalsIgnoreCase(parameter.getText(normalised, 64)))
                return normalised;
        }
        juce::StringArray allowed;
        for (int i = 0; i < steps; ++i)
            allowed.add(juce::String(i) + " (" + parameter.getText(float(i) / float(steps - 1), 64) + ")");
        throw CommandError("value out of range for " + id.toStdString() + ": " + value.toStdString() +
                           "; use one of " + allowed.joinIntoString(", ").toStdString());
    }

    if (value.isEmpty() || !value.containsOnly("+-0123456789.eE"))
        throw CommandError("not a number for " + id.toStdString() + ": " + value.toStdString());
    const double v = value.getDoubleValue();
    const double lowest = parameter.getText(0.0f, 64).getDoubleValue();
    const double highest = parameter.getText(1.0f, 64).getDoubleValue();
    const double tolerance = 1e-6 * std::abs(highest - lowest) + 0.005;
    if (!std::isfinite(v) || v < lowest - tolerance || v > highest + tolerance)
        throw CommandError("value out of range for " + id.toStdString() + ": " + value.toStdString() + " (" +
                           juce::String(lowest).toStdString() + " to " + juce::String(highest).toStdString() +
                           ")");
    return parameter.getValueForText(value);
}

struct Levels
{
    float peak = 0.0f;
    double sum = 0.0;
    juce::int64 count = 0;

    void add(const juce::AudioBuffer<float>& buffer, int channels)
    {
        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < buffer.getNumSamples(); ++i)
            {
                const float x = buffer.getSample(c, i);
                peak = std::max(peak, std::abs(x));
                sum += double(x) * x;
                ++count;
            }
    }
    double peakDb() const { return peak > 0.0f ? 20.0 * std::log10(peak) : -200.0; }
    double rmsDb() const { return count > 0 && sum > 0.0 ? 10.0 * std::log10(sum / double(count)) : -200.0; }
};

void writeWav(const juce::String& path, const juce::AudioBuffer<float>& audio, double rate)
{
    const auto file = fileFor(path);
    file.deleteFile();
    auto stream = std::make_unique<juce::FileOutputStream>(file);
    if (!stream->openedOk())
        throw CommandError("cannot write " + file.getFullPathName().toStdString());
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::AudioFormatWriter> writer(wav.createWriterFor(
        stream.get(), rate, static_cast<unsigned int>(audio.getNumChannels()), 32, {}, 0));
    if (writer == nullptr)
        throw CommandError("cannot write a WAV file at " + file.getFullPathName().toStdString());
    stream.release(); // the writer owns the stream now
    if (!writer->writeFromAudioSampleBuffer(audio, 0, audio.getNumSamples()))
        throw CommandError("writing " + file.getFullPathName().toStdString() + " failed");
}
} // namespace

int runRender(const juce::StringArray& args)
{
    const auto options = parseRenderArgs(args);

    Audio input =
        options.input.isEmpty() ? demoSignal(options.rate.value_or(defaultRate)) : readAudio(options.input);
    if (options.rate && std::abs(*options.rate - input.rate) > 0.5)
        throw CommandError(
            "--rate differs from the input file's rate; the file is processed at its own rate");
    if (options.mono && input.samples.getNumChannels() == 2)
    {
        input.samples.addFrom(0, 0, input.samples, 1, 0, input.samples.getNumSamples());
        input.samples.applyGain(0, 0, input.samples.getNumSamples(), 0.5f);
        input.samples.setSize(1, input.samples.getNumSamples(), true);
    }
    std::optional<Audio> key;
    if (options.key.isNotEmpty())
    {
        key = readAudio(options.key);
        if (std::abs(key->rate - input.rate) > 0.5 ||
            key->samples.getNumSamples() != input.samples.getNumSamples())
            throw CommandError("the key file must have the input's sample rate and length");
    }

    auto loaded = loadBundle(options.bundle, input.rate, options.block);
    auto& plugin = *loaded.instance;
    const int channels = input.samples.getNumChannels();
    const auto set = channels == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo();
    if (!plugin.setBusesLayout(makeLayout(set, set, key.has_value())))
        throw CommandError("the plug-in refused the " + set.getDescription().toStdString() + " layout");

    if (options.state.isNotEmpty())
    {
        juce::MemoryBlock preset;
        if (!fileFor(options.state).loadFileAsData(preset))
            throw CommandError("cannot read state file " +
                               fileFor(options.state).getFullPathName().toStdString());
        loadVst3Preset(plugin, preset);
    }
    if (options.preset.isNotEmpty())
        applyStripPreset(plugin, fileFor(options.preset));
    for (const auto& [id, value] : options.settings)
    {
        auto* parameter = findParameter(plugin, id);
        if (parameter == nullptr)
            throw CommandError("unknown parameter ID: " + id.toStdString());
        parameter->setValueNotifyingHost(normalisedFor(*parameter, id, value));
    }

    plugin.setNonRealtime(true);
    prepare(plugin, input.rate, options.block);

    const int length = input.samples.getNumSamples();
    const int bufferChannels = channels + (key ? 1 : 0);
    juce::AudioBuffer<float> output(channels, length);
    juce::AudioBuffer<float> block(bufferChannels, options.block);
    juce::MidiBuffer midi;
    Levels in, out;
    for (int start = 0; start < length; start += options.block)
    {
        const int n = std::min(options.block, length - start);
        juce::AudioBuffer<float> view(block.getArrayOfWritePointers(), bufferChannels, n);
        for (int c = 0; c < channels; ++c)
            view.copyFrom(c, 0, input.samples, c, start, n);
        if (key)
            view.copyFrom(channels, 0, key->samples, 0, start, n);
        in.add(view, channels);
        plugin.processBlock(view, midi);
        out.add(view, channels);
        for (int c = 0; c < channels; ++c)
            output.copyFrom(c, start, view, c, 0, n);
    }
    plugin.releaseResources();
    writeWav(options.output, output, input.rate);
    if (options.saveState.isNotEmpty())
    {
        const auto file = fileFor(options.saveState);
        const auto saved = saveVst3Preset(plugin);
        if (!file.replaceWithData(saved.getData(), saved.getSize()))
            throw CommandError("cannot write state file " + file.getFullPathName().toStdString());
    }

    auto* report = new juce::DynamicObject();
    juce::var result(report);
    report->setProperty("output", fileFor(options.output).getFullPathName());
    report->setProperty("rate", input.rate);
    report->setProperty("channels", channels);
    report->setProperty("samples", length);
    report->setProperty("inPeakDb", in.peakDb());
    report->setProperty("inRmsDb", in.rmsDb());
    report->setProperty("outPeakDb", out.peakDb());
    report->setProperty("outRmsDb", out.rmsDb());
    auto* meters = new juce::DynamicObject();
    for (auto* parameter : plugin.getParameters())
        if (!parameter->isAutomatable())
            if (const auto id = stringIdOf(*parameter); id.isNotEmpty())
                meters->setProperty(id, parameter->getValue());
    report->setProperty("meters", juce::var(meters));
    std::cout << juce::JSON::toString(result).toStdString() << std::endl;
    return 0;
}

} // namespace tzstrip
