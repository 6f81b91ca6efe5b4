// The built VST3 bundle, loaded by tzstrip the way a DAW loads it.
#include "circuit/NE5534Curve.h"
#include "circuit/VcaCurve.h"
#include "processor/ParameterIds.h"
#include "processor/TZStripProcessor.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace
{
struct Run
{
    int exitCode = -1;
    juce::String output;
};

Run tzstrip(const juce::StringArray& args)
{
    juce::StringArray command{TZSTRIP_EXE};
    command.addArray(args);
    juce::ChildProcess process;
    Run run;
    if (!process.start(command, juce::ChildProcess::wantStdOut | juce::ChildProcess::wantStdErr))
        return run;
    run.output = process.readAllProcessOutput();
    process.waitForProcessToFinish(60000);
    run.exitCode = static_cast<int>(process.getExitCode());
    return run;
}

juce::String bundle()
{
    return juce::File(TZ_VST3_BUNDLE).getFullPathName();
}

juce::AudioBuffer<float> impulse(int channels, int length, int at, float amplitude = 0.5f)
{
    juce::AudioBuffer<float> audio(channels, length);
    audio.clear();
    for (int c = 0; c < channels; ++c)
        audio.setSample(c, at, amplitude);
    return audio;
}

int peakIndex(const juce::AudioBuffer<float>& audio, int channel)
{
    int best = 0;
    for (int i = 1; i < audio.getNumSamples(); ++i)
        if (std::abs(audio.getSample(channel, i)) > std::abs(audio.getSample(channel, best)))
            best = i;
    return best;
}

struct TzStrip : testing::Test
{
    juce::TemporaryFile folderFile;
    juce::File dir;

    void SetUp() override
    {
        dir = folderFile.getFile();
        ASSERT_TRUE(dir.createDirectory());
    }
    void TearDown() override { dir.deleteRecursively(); }

    juce::String path(const char* name) const { return dir.getChildFile(name).getFullPathName(); }

    juce::String writeWav(const char* name, const juce::AudioBuffer<float>& audio, double rate) const
    {
        const auto file = dir.getChildFile(name);
        file.deleteFile();
        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer(
            wav.createWriterFor(new juce::FileOutputStream(file), rate,
                                static_cast<unsigned>(audio.getNumChannels()), 32, {}, 0));
        writer->writeFromAudioSampleBuffer(audio, 0, audio.getNumSamples());
        return file.getFullPathName();
    }

    static juce::AudioBuffer<float> readWav(const juce::String& file, double* rate = nullptr)
    {
        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatReader> reader(
            wav.createReaderFor(new juce::FileInputStream(juce::File(file)), true));
        juce::AudioBuffer<float> audio;
        if (reader == nullptr)
            return audio;
        if (rate != nullptr)
            *rate = reader->sampleRate;
        audio.setSize(int(reader->numChannels), int(reader->lengthInSamples));
        reader->read(&audio, 0, audio.getNumSamples(), 0, true, true);
        return audio;
    }
};
} // namespace

TEST_F(TzStrip, InfoShowsIdentityLayoutsAndParametersInOrder)
{
    const auto run = tzstrip({"info", bundle()});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const auto info = juce::JSON::parse(run.output);
    EXPECT_EQ(info["name"].toString(), "OMVI Audio Ondrel Channel");
    EXPECT_EQ(info["vendor"].toString(), "OMVI Audio");
    EXPECT_EQ(info["version"].toString(), "1.2.4");
    EXPECT_EQ(info["category"].toString(), "Fx|Dynamics|EQ");
    EXPECT_EQ(int(info["latency"]), 45);

    const auto* layouts = info["layouts"].getArray();
    ASSERT_NE(layouts, nullptr);
    ASSERT_EQ(layouts->size(), 5);
    for (const auto& layout : *layouts)
    {
        const bool same = layout["input"].toString() == layout["output"].toString();
        EXPECT_EQ(bool(layout["accepted"]), same) << juce::JSON::toString(layout, true);
    }

    const auto* parameters = info["parameters"].getArray();
    ASSERT_NE(parameters, nullptr);
    ASSERT_EQ(parameters->size(), 54); // our 53 and the wrapper's own bypass
    juce::StringArray ids;
    for (const char* id : omvitz::controlIds)
        ids.add(id);
    for (const char* id : omvitz::meterIds)
        ids.add(id);
    for (int i = 0; i < 53; ++i)
    {
        const auto& p = (*parameters)[i];
        EXPECT_EQ(p["id"].toString(), ids[i]) << i;
        EXPECT_EQ(bool(p["automatable"]), i < 47) << ids[i];
    }
    EXPECT_TRUE(bool((*parameters)[53]["bypass"]));
    EXPECT_EQ((*parameters)[53]["id"].toString(), "");

    const auto& fader = (*parameters)[44];
    EXPECT_EQ(fader["name"].toString(), "Fader");
    EXPECT_NEAR(double(fader["default"]), 0.78, 1e-6);
    EXPECT_EQ(fader["defaultText"].toString(), "0.00");
    EXPECT_EQ(double(fader["min"]), -60.0);
    EXPECT_EQ(double(fader["max"]), 10.0);
    EXPECT_EQ((*parameters)[10]["textHalf"].toString(), "Expander");
    EXPECT_EQ((*parameters)[47]["text1"].toString(), "-99.0 dB");
}

// The output is the input 45 samples late, whatever the rate and block size.
TEST_F(TzStrip, ImpulseArrivesFortyFiveSamplesLateAtEveryRate)
{
    for (const auto& [rate, block] : {std::pair{44100.0, 512}, {96000.0, 1}, {192000.0, 4096}, {22050.0, 37}})
    {
        const auto in = writeWav("impulse.wav", impulse(2, 8000, 1000), rate);
        const auto out = path("out.wav");
        const auto run = tzstrip({"render", bundle(), in, out, "--block", juce::String(block)});
        ASSERT_EQ(run.exitCode, 0) << run.output;
        double outRate = 0.0;
        const auto audio = readWav(out, &outRate);
        EXPECT_EQ(outRate, rate);
        ASSERT_EQ(audio.getNumSamples(), 8000);
        EXPECT_EQ(peakIndex(audio, 0), 1045) << rate;
        EXPECT_EQ(peakIndex(audio, 1), 1045) << rate;
        EXPECT_NEAR(audio.getSample(0, 1045), 0.5f, 0.03f);
    }
}

TEST_F(TzStrip, MonoStereoAndForceMono)
{
    juce::AudioBuffer<float> stereo(2, 4800);
    for (int i = 0; i < stereo.getNumSamples(); ++i)
    {
        stereo.setSample(0, i, 0.4f * std::sin(0.05f * float(i)));
        stereo.setSample(1, i, i == 2000 ? 0.8f : 0.0f);
    }
    const auto in = writeWav("stereo.wav", stereo, 48000.0);
    const auto out = path("out.wav");

    ASSERT_EQ(tzstrip({"render", bundle(), in, out}).exitCode, 0);
    auto audio = readWav(out);
    ASSERT_EQ(audio.getNumChannels(), 2);
    EXPECT_EQ(peakIndex(audio, 1), 2045); // the channels stay apart
    EXPECT_LT(std::abs(audio.getSample(1, 1000)), 0.01f);

    ASSERT_EQ(tzstrip({"render", bundle(), in, out, "--set", "forceMono=1"}).exitCode, 0);
    audio = readWav(out);
    ASSERT_EQ(audio.getNumChannels(), 2);
    for (int i = 0; i < audio.getNumSamples(); ++i)
        ASSERT_EQ(audio.getSample(0, i), audio.getSample(1, i)) << i;
    // the processed mid signal: (L + R) / 2, 45 samples late
    EXPECT_NEAR(audio.getSample(0, 2045), 0.5f * (0.4f * std::sin(0.05f * 2000.0f) + 0.8f), 0.03f);

    ASSERT_EQ(tzstrip({"render", bundle(), in, out, "--mono"}).exitCode, 0);
    audio = readWav(out);
    EXPECT_EQ(audio.getNumChannels(), 1);
    EXPECT_EQ(audio.getNumSamples(), 4800);
}

TEST_F(TzStrip, DemoRenderReportsLevels)
{
    const auto out = path("demo.wav");
    const auto run = tzstrip({"render", bundle(), out, "--rate", "44100"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const auto report = juce::JSON::parse(run.output);
    double rate = 0.0;
    const auto audio = readWav(out, &rate);
    EXPECT_EQ(rate, 44100.0);
    EXPECT_GT(audio.getNumSamples(), 2 * 44100);
    EXPECT_EQ(int(report["samples"]), audio.getNumSamples());
    const float peak = audio.getMagnitude(0, audio.getNumSamples());
    EXPECT_NEAR(double(report["outPeakDb"]), 20.0 * std::log10(peak), 1e-3);
    EXPECT_LT(double(report["inPeakDb"]), 0.0);
    EXPECT_GT(double(report["inRmsDb"]), -30.0);
}

TEST_F(TzStrip, BadInvocationsFailWithOneLine)
{
    const auto fake = dir.getChildFile("Fake.vst3");
    fake.getChildFile("Contents/x86_64-linux").createDirectory();
    fake.getChildFile("Contents/x86_64-linux/Fake.so").replaceWithText("not a library");
    const auto text = dir.getChildFile("text.wav");
    text.replaceWithText("not audio");
    const auto in = writeWav("in.wav", impulse(1, 1000, 10), 48000.0);
    const auto shortKey = writeWav("key.wav", impulse(1, 999, 10), 48000.0);
    const auto otherRateKey = writeWav("key2.wav", impulse(1, 1000, 10), 44100.0);
    const auto out = path("out.wav");

    const juce::StringArray cases[] = {
        {"render", path("missing.vst3"), out},
        {"render", fake.getFullPathName(), out},
        {"info", fake.getFullPathName()},
        {"render", bundle(), text.getFullPathName(), out},
        {"render", bundle(), path("missing.wav"), out},
        {"render", bundle(), in, out, "--set", "noSuchId=1"},
        {"render", bundle(), in, out, "--set", "fader=11"},
        {"render", bundle(), in, out, "--set", "gateMode=3"},
        {"render", bundle(), in, out, "--set", "hpfHz=abc"},
        {"render", bundle(), in, out, "--set", "grComp=0.5"},
        {"render", bundle(), in, out, "--key", shortKey},
        {"render", bundle(), in, out, "--key", otherRateKey},
        {"render", bundle(), in, out, "--block", "0"},
        {"render", bundle(), in, out, "--state", text.getFullPathName()},
        {"render", bundle(), in, out, "--state", path("missing.vstpreset")},
        {"render", bundle(), in, out, "--preset", text.getFullPathName()},
        {"render", bundle(), in, out, "--preset", path("missing.tzpreset")},
        {"frobnicate"},
    };
    for (const auto& args : cases)
    {
        const auto run = tzstrip(args);
        EXPECT_NE(run.exitCode, 0) << args.joinIntoString(" ");
        const auto lines = juce::StringArray::fromLines(run.output.trim());
        EXPECT_EQ(lines.size(), 1) << run.output;
        EXPECT_TRUE(run.output.startsWith("tzstrip: ")) << run.output;
    }
}

TEST_F(TzStrip, SettingsAcceptUnitsNamesAndIndices)
{
    // the impulse comes after the gains' 10 ms glides from unity have settled
    const auto in = writeWav("in.wav", impulse(1, 8000, 6000), 48000.0);
    const auto out = path("out.wav");
    const auto level = [&](const juce::StringArray& sets)
    {
        juce::StringArray args{"render", bundle(), in, out};
        for (const auto& s : sets)
            args.addArray(juce::StringArray{"--set", s});
        const auto run = tzstrip(args);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        return readWav(out).getSample(0, 6045);
    };
    const float unity = level({});
    EXPECT_NEAR(level({"fader=-6"}) / unity, std::pow(10.0f, -6.0f / 20.0f), 0.01f);
    EXPECT_NEAR(level({"phase=1"}) / unity, -1.0f, 0.01f);
    EXPECT_NEAR(level({"outTrim=6", "lineGain=-6"}) / unity, 1.0f, 0.01f);
    EXPECT_NEAR(level({"gateMode=Off", "linkMode=Stereo", "eqOn=0"}) / unity, 1.0f, 0.01f);
}

// With the external key on, the gate listens to the sidechain: a silent key shuts it by its range, a loud
// key holds it open, on mono and stereo tracks alike.
TEST_F(TzStrip, SidechainKeysTheGate)
{
    constexpr int length = 48000;
    for (const int channels : {1, 2})
    {
        juce::AudioBuffer<float> signal(channels, length), loudKey(1, length), silentKey(1, length);
        silentKey.clear();
        for (int i = 0; i < length; ++i)
        {
            const float s = 0.3f * std::sin(0.13f * float(i));
            for (int c = 0; c < channels; ++c)
                signal.setSample(c, i, s);
            loudKey.setSample(0, i, 0.5f * std::sin(0.02f * float(i)));
        }
        const auto in = writeWav("in.wav", signal, 48000.0);
        const auto out = path("out.wav");
        const auto endLevelDb = [&](const juce::AudioBuffer<float>& key)
        {
            const auto keyFile = writeWav("key.wav", key, 48000.0);
            const auto run = tzstrip({"render", bundle(), in, out, "--key", keyFile, "--set", "gateMode=Gate",
                                      "--set", "gateKey=1", "--set", "gateRel=30", "--set", "gateRange=20"});
            EXPECT_EQ(run.exitCode, 0) << run.output;
            const auto audio = readWav(out);
            return 20.0f * std::log10(audio.getRMSLevel(0, length - 4800, 4800) / (0.3f / std::sqrt(2.0f)));
        };
        EXPECT_NEAR(endLevelDb(silentKey), -20.0f, 0.3f) << channels;
        EXPECT_NEAR(endLevelDb(loudKey), 0.0f, 0.2f) << channels;
    }
}

// The curve dump holds exactly the tables the plug-in plays, one row per entry.
TEST_F(TzStrip, CurvesDumpTheBakedTables)
{
    const auto run = tzstrip({"curves", path("curves")});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    omvipccn::bakeSharedCurves();
    const auto check = [&](const char* name, double range, const std::vector<double>& deviation,
                           const std::vector<double>& integral)
    {
        const auto lines = juce::StringArray::fromLines(
            dir.getChildFile("curves").getChildFile(name).loadFileAsString().trim());
        ASSERT_EQ(lines.size(), 8193) << name;
        EXPECT_EQ(lines[0], "input,deviation,integral");
        for (const int k : {0, 1, 4095, 4096, 8191})
        {
            const auto fields = juce::StringArray::fromTokens(lines[k + 1], ",", "");
            ASSERT_EQ(fields.size(), 3);
            const auto exact = [&](int i) { return std::strtod(fields[i].toRawUTF8(), nullptr); };
            EXPECT_NEAR(exact(0), -range + k * 2.0 * range / 8191.0, 1e-12) << name << k;
            EXPECT_EQ(exact(1), deviation[size_t(k)]) << name << k;
            EXPECT_EQ(exact(2), integral[size_t(k)]) << name << k;
        }
    };
    for (const int rail : {19, 16})
    {
        const auto& curve = omvipccn::sharedNE5534Curve(rail);
        check(rail == 19 ? "opamp_19.csv" : "opamp_16.csv", 24.0, curve.deviation, curve.integral);
    }
    const auto& vca = omvipccn::sharedVcaCurve();
    const char* names[] = {"vca_0.csv", "vca_5.csv", "vca_10.csv", "vca_15.csv", "vca_20.csv", "vca_24.csv"};
    for (size_t t = 0; t < 6; ++t)
        check(names[t], 8.0, vca.deviation[t], vca.integral[t]);
}

namespace
{
// The strip's own chunk inside a VST3 preset file: the header ends with the offset of the chunk list,
// whose entries give each chunk's ID, offset and size; the component state is the "Comp" chunk.
std::unique_ptr<juce::XmlElement> stripStateIn(const juce::String& vstPreset)
{
    juce::MemoryBlock file;
    if (!juce::File(vstPreset).loadFileAsData(file) || file.getSize() < 48)
        return nullptr;
    const auto* bytes = static_cast<const char*>(file.getData());
    const auto int64At = [&](size_t at)
    { return static_cast<size_t>(juce::ByteOrder::littleEndianInt64(bytes + at)); };
    if (juce::String(bytes, 4) != "VST3")
        return nullptr;
    const auto list = int64At(40);
    if (list + 8 > file.getSize() || juce::String(bytes + list, 4) != "List")
        return nullptr;
    const auto entries = juce::ByteOrder::littleEndianInt(bytes + list + 4);
    for (size_t e = 0; e < entries; ++e)
    {
        const auto entry = list + 8 + e * 20;
        if (entry + 20 > file.getSize())
            return nullptr;
        if (juce::String(bytes + entry, 4) != "Comp")
            continue;
        const auto offset = int64At(entry + 4);
        const auto size = int64At(entry + 12);
        if (offset + size > file.getSize() || size < 9 || juce::String(bytes + offset, 4) != "VC2!")
            return nullptr;
        const auto length = juce::ByteOrder::littleEndianInt(bytes + offset + 4);
        return juce::parseXML(
            juce::String::fromUTF8(bytes + offset + 8, static_cast<int>(std::min<size_t>(length, size - 8))));
    }
    return nullptr;
}

double valueIn(const juce::XmlElement& state, const char* id)
{
    const auto* child = state.getChildByAttribute("id", id);
    return child != nullptr ? child->getDoubleAttribute("value", -12345.0) : -12345.0;
}
} // namespace

// Every control set through the host, saved the way a DAW saves a project, and restored into a new
// instance that saves the same values again.
TEST_F(TzStrip, HostStateSavesAndRestoresEveryControl)
{
    const juce::ScopedJuceInitialiser_GUI juce;
    TZStripProcessor reference;
    const auto in = writeWav("in.wav", impulse(2, 2400, 10), 48000.0);
    juce::StringArray args{"render", bundle(), in, path("out.wav"), "--save-state", path("first.vstpreset")};
    std::vector<double> expected;
    for (const auto* id : omvitz::controlIds)
    {
        auto* p = reference.state.getParameter(id);
        const float normalised =
            p->convertTo0to1(p->convertFrom0to1(p->getDefaultValue() < 0.5f ? 0.8f : 0.2f));
        const double plain = p->convertFrom0to1(normalised);
        expected.push_back(plain);
        const bool discrete = p->getNumSteps() < 64;
        args.addArray(
            {"--set", juce::String(id) + "=" +
                          (discrete ? juce::String(juce::roundToInt(plain)) : juce::String(plain, 6))});
    }
    const auto first = tzstrip(args);
    ASSERT_EQ(first.exitCode, 0) << first.output;
    const auto saved = stripStateIn(path("first.vstpreset"));
    ASSERT_NE(saved, nullptr);
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(valueIn(*saved, omvitz::controlIds[i]), expected[i], 1e-4 * (1.0 + std::abs(expected[i])))
            << omvitz::controlIds[i];

    const auto second = tzstrip({"render", bundle(), in, path("out2.wav"), "--state", path("first.vstpreset"),
                                 "--save-state", path("second.vstpreset")});
    ASSERT_EQ(second.exitCode, 0) << second.output;
    const auto restored = stripStateIn(path("second.vstpreset"));
    ASSERT_NE(restored, nullptr);
    for (const auto* id : omvitz::controlIds)
        EXPECT_EQ(valueIn(*restored, id), valueIn(*saved, id)) << id;
}

// A strip preset applies what it lists; settings given on the command line come after it.
TEST_F(TzStrip, PresetFileAppliesThroughThePlugin)
{
    const auto preset = dir.getChildFile("Vocal.tzpreset");
    ASSERT_TRUE(preset.replaceWithText("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n\r\n<PARAMS>\r\n"
                                       "  <PARAM id=\"compThr\" value=\"8\"/>\r\n"
                                       "  <PARAM id=\"gateMode\" value=\"2\"/>\r\n"
                                       "  <PARAM id=\"hpfHz\" value=\"120\"/>\r\n</PARAMS>\r\n"));
    const auto in = writeWav("in.wav", impulse(1, 2400, 10), 48000.0);
    const auto run = tzstrip({"render", bundle(), in, path("out.wav"), "--preset", preset.getFullPathName(),
                              "--set", "hpfHz=200", "--save-state", path("state.vstpreset")});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const auto state = stripStateIn(path("state.vstpreset"));
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(valueIn(*state, "compThr"), 8.0);
    EXPECT_EQ(valueIn(*state, "gateMode"), 2.0);
    EXPECT_NEAR(valueIn(*state, "hpfHz"), 200.0, 0.01);
    EXPECT_NEAR(valueIn(*state, "fader"), 0.0, 1e-4); // not listed: still its default
}

// A new instance in the host starts from the user's startup default.
TEST_F(TzStrip, HostedInstanceStartsFromTheStartupDefault)
{
    const auto product = dir.getChildFile("home/.config/OMVI Audio/TZ Channel");
    ASSERT_TRUE(product.createDirectory());
    ASSERT_TRUE(product.getChildFile("startup-default.xml")
                    .replaceWithText("<PARAMS><PARAM id=\"fader\" value=\"-12\"/></PARAMS>"));
    const auto in = writeWav("in.wav", impulse(1, 2400, 10), 48000.0);
    const auto savedHome = juce::SystemStats::getEnvironmentVariable("HOME", {});
    setenv("HOME", dir.getChildFile("home").getFullPathName().toRawUTF8(), 1);
    const auto run =
        tzstrip({"render", bundle(), in, path("out.wav"), "--save-state", path("state.vstpreset")});
    setenv("HOME", savedHome.toRawUTF8(), 1);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const auto state = stripStateIn(path("state.vstpreset"));
    ASSERT_NE(state, nullptr);
    EXPECT_NEAR(valueIn(*state, "fader"), -12.0, 1e-4);
}
