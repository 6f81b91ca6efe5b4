// The saved forms of the strip's settings: the host chunk, preset files and the startup default.
#include "processor/StoredXml.h"
#include "processor/TZStripProcessor.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace
{
constexpr juce::uint32 magic = 0x21324356; // "VC2!"

juce::MemoryBlock chunkOfBytes(const char* text, size_t numBytes)
{
    juce::MemoryBlock chunk;
    juce::MemoryOutputStream out(chunk, false);
    out.writeInt(static_cast<int>(magic));
    out.writeInt(static_cast<int>(numBytes));
    out.write(text, numBytes);
    out.writeByte(0);
    out.flush();
    return chunk;
}

juce::MemoryBlock chunkOf(const juce::String& xmlText)
{
    return chunkOfBytes(xmlText.toRawUTF8(), xmlText.getNumBytesAsUTF8());
}

// A non-default normalised value for every kind of parameter: switches flip, choices move, ranges move far.
float otherThanDefault(const juce::RangedAudioParameter& p)
{
    return p.convertTo0to1(p.convertFrom0to1(p.getDefaultValue() < 0.5f ? 0.8f : 0.2f));
}

// Each test gets a home folder of its own: the settings files live under it, and a new processor reads
// its startup default from there.
struct State : testing::Test
{
    const juce::ScopedJuceInitialiser_GUI juce;
    juce::TemporaryFile homeFile;
    juce::File home;
    juce::String savedHome;
    std::unique_ptr<TZStripProcessor> processor;

    void SetUp() override
    {
        savedHome = juce::SystemStats::getEnvironmentVariable("HOME", {});
        home = homeFile.getFile();
        ASSERT_TRUE(home.createDirectory());
        setenv("HOME", home.getFullPathName().toRawUTF8(), 1);
        processor = std::make_unique<TZStripProcessor>();
    }

    void TearDown() override
    {
        processor.reset();
        setenv("HOME", savedHome.toRawUTF8(), 1);
        home.deleteRecursively();
    }

    juce::RangedAudioParameter& parameter(const char* id) { return *processor->state.getParameter(id); }
    float plain(const char* id) { return parameter(id).convertFrom0to1(parameter(id).getValue()); }
    void set(const char* id, float plainValue)
    {
        parameter(id).setValueNotifyingHost(parameter(id).convertTo0to1(plainValue));
    }
    void restore(const juce::MemoryBlock& chunk)
    {
        processor->setStateInformation(chunk.getData(), static_cast<int>(chunk.getSize()));
    }
    std::array<float, omvitz::controlIds.size()> controlValues()
    {
        std::array<float, omvitz::controlIds.size()> values{};
        for (size_t i = 0; i < values.size(); ++i)
            values[i] = parameter(omvitz::controlIds[i]).getValue();
        return values;
    }
};

TEST_F(State, ChunkLayoutFieldByField)
{
    processor->guiScale = 1.25f;
    processor->guiScaleUserSet = true;
    juce::MemoryBlock chunk;
    processor->getStateInformation(chunk);
    const auto* bytes = static_cast<const char*>(chunk.getData());
    const auto size = chunk.getSize();

    ASSERT_GT(size, 9u);
    EXPECT_EQ(juce::String(bytes, 4), "VC2!");
    EXPECT_EQ(juce::ByteOrder::littleEndianInt(bytes + 4), size - 9);
    EXPECT_EQ(bytes[size - 1], 0);
    const auto text = juce::String::fromUTF8(bytes + 8, static_cast<int>(size - 9));
    EXPECT_TRUE(text.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?> <PARAMS "))
        << text.substring(0, 60);
    EXPECT_FALSE(text.containsAnyOf("\r\n"));

    const auto xml = juce::parseXML(text);
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(xml->getTagName(), "PARAMS");
    EXPECT_EQ(xml->getStringAttribute("guiScale"), "1.25");
    EXPECT_EQ(xml->getStringAttribute("guiScaleUserSet"), "1");
    EXPECT_EQ(xml->getNumChildElements(), 53);
    for (const auto* id : omvitz::meterIds)
        EXPECT_NE(xml->getChildByAttribute("id", id), nullptr) << id;
    const auto* ratio = xml->getChildByAttribute("id", "compRatio");
    ASSERT_NE(ratio, nullptr);
    EXPECT_EQ(ratio->getTagName(), "PARAM");
    EXPECT_DOUBLE_EQ(ratio->getDoubleAttribute("value"), plain("compRatio")); // in its own units
}

TEST_F(State, EveryControlRoundTripsThroughTheChunk)
{
    for (const auto* id : omvitz::controlIds)
        parameter(id).setValueNotifyingHost(otherThanDefault(parameter(id)));
    const auto expected = controlValues();
    processor->guiScale = 1.5f;
    juce::MemoryBlock chunk;
    processor->getStateInformation(chunk);

    for (const auto* id : omvitz::controlIds)
        parameter(id).setValueNotifyingHost(parameter(id).getDefaultValue());
    restore(chunk);
    const auto restored = controlValues();
    for (size_t i = 0; i < expected.size(); ++i)
    {
        EXPECT_NE(restored[i], parameter(omvitz::controlIds[i]).getDefaultValue()) << omvitz::controlIds[i];
        EXPECT_NEAR(restored[i], expected[i], 1e-6f) << omvitz::controlIds[i];
    }
    EXPECT_EQ(processor->restoredGuiScale.load(), 1.5f);
    EXPECT_EQ(processor->guiScale.load(), 1.5f); // untouched by a restore
}

TEST_F(State, RestoredScaleIsClampedToTheWindowSizes)
{
    const std::pair<const char*, float> cases[] = {
        {"", 1.0f},
        {"guiScale=\"0.5\"", 1.0f},
        {"guiScale=\"inf\"", 1.0f},
        {"guiScale=\"nan\"", 1.0f},
        {"guiScale=\"abc\"", 1.0f},
        {"guiScale=\"1.75\"", 1.75f},
        {"guiScale=\"3\"", 2.0f},
    };
    for (const auto& [attribute, expected] : cases)
    {
        processor->restoredGuiScale = 1.5f;
        restore(chunkOf(juce::String("<PARAMS ") + attribute + " guiScaleUserSet=\"1\"/>"));
        EXPECT_EQ(processor->restoredGuiScale.load(), expected) << attribute;
        EXPECT_TRUE(processor->guiScaleUserSet.load()) << attribute;
    }
}

// What each kind of chunk does: rejected ones change neither the parameters nor the scale members.
TEST_F(State, ChunkAcceptanceRules)
{
    const auto valid = chunkOf("<PARAMS guiScale=\"1.5\"><PARAM id=\"compThr\" value=\"8\"/></PARAMS>");
    const auto withLength = [&](juce::uint32 length)
    {
        auto chunk = valid;
        const auto le = juce::ByteOrder::swapIfBigEndian(length);
        std::memcpy(static_cast<char*>(chunk.getData()) + 4, &le, 4);
        return chunk;
    };
    auto wrongMagic = valid;
    static_cast<char*>(wrongMagic.getData())[3] = '?';
    const auto deep = "<PARAMS guiScale=\"1.5\"><PARAM id=\"compThr\" value=\"8\"/>" +
                      juce::String::repeatedString("<a>", 100) + juce::String::repeatedString("</a>", 100) +
                      "</PARAMS>";
    const juce::String entity = "<?xml version=\"1.0\"?><!DOCTYPE PARAMS [<!ENTITY e \"8\">]>"
                                "<PARAMS guiScale=\"1.5\"><PARAM id=\"compThr\" value=\"&e;\"/></PARAMS>";
    const juce::String huge = "<PARAMS guiScale=\"1.5\"><PARAM id=\"compThr\" value=\"8\"/>" +
                              juce::String::repeatedString("<X/>", 3 * 1024 * 1024) + "</PARAMS>";

    const char badUtf8[] = "<PARAMS guiScale=\"1.5\"><PARAM id=\"compThr\" value=\"8\"/></PARAMS>\xe5";

    struct Case
    {
        const char* what;
        juce::MemoryBlock chunk;
        bool applied;
    };
    const Case cases[] = {
        {"the valid chunk", valid, true},
        {"eight bytes", juce::MemoryBlock(valid.getData(), 8), false},
        {"wrong magic", wrongMagic, false},
        {"length 0", withLength(0), false},
        {"negative length", withLength(0xfffffff0u), false},
        {"length past the end, cut to the data", withLength(0x7ffffff0u), true},
        {"text that is not XML", chunkOf("compThr = 8"), false},
        {"text that is not UTF-8", chunkOfBytes(badUtf8, sizeof(badUtf8) - 1), false},
        {"another root", chunkOf("<OTHER guiScale=\"1.5\"><PARAM id=\"compThr\" value=\"8\"/></OTHER>"),
         true},
        {"nesting a hundred deep", chunkOf(deep), false},
        {"a document type with entities", chunkOf(entity), false},
        {"over ten megabytes", chunkOf(huge), false},
    };
    for (const auto& c : cases)
    {
        set("compThr", 14.0f);
        processor->restoredGuiScale = 1.0f;
        restore(c.chunk);
        EXPECT_EQ(plain("compThr"), c.applied ? 8.0f : 14.0f) << c.what;
        EXPECT_EQ(processor->restoredGuiScale.load(), c.applied ? 1.5f : 1.0f) << c.what;
    }
    processor->setStateInformation(nullptr, 100);
    EXPECT_EQ(plain("compThr"), 14.0f);
}

TEST_F(State, PartialStatesChangeOnlyWhatTheyList)
{
    set("fader", -10.0f);
    set("gateMode", 2.0f);
    restore(
        chunkOf("<PARAMS><PARAM id=\"compThr\" value=\"8\"/><PARAM id=\"noSuchId\" value=\"3\"/></PARAMS>"));
    EXPECT_EQ(plain("compThr"), 8.0f);
    EXPECT_NEAR(plain("fader"), -10.0f, 1e-4f);
    EXPECT_EQ(plain("gateMode"), 2.0f);
    // Unknown children stay in the tree and every parameter is in it again.
    const auto tree = processor->state.copyState();
    EXPECT_TRUE(tree.getChildWithProperty("id", "noSuchId").isValid());
    for (const auto* id : omvitz::controlIds)
        EXPECT_TRUE(tree.getChildWithProperty("id", id).isValid()) << id;

    restore(chunkOf("<PARAMS><PARAM id=\"fader\"/></PARAMS>")); // no value: back to its default
    EXPECT_NEAR(plain("fader"), 0.0f, 1e-4f);
    EXPECT_EQ(plain("compThr"), 8.0f);
}

TEST_F(State, ValuesThatAreNotNumbersStandForTheDefault)
{
    set("compThr", 8.0f);
    set("hpfHz", 200.0f);
    restore(chunkOf("<PARAMS><PARAM id=\"compThr\" value=\"nan\"/><PARAM id=\"hpfHz\" value=\"-inf\"/>"
                    "<PARAM id=\"fader\" value=\"1e30\"/></PARAMS>"));
    EXPECT_EQ(parameter("compThr").getValue(), parameter("compThr").getDefaultValue());
    EXPECT_EQ(parameter("hpfHz").getValue(), parameter("hpfHz").getDefaultValue());
    EXPECT_EQ(parameter("fader").getValue(), 1.0f); // a finite value past the range goes to its end

    // A host that sets a parameter to NaN gets the default written, not a number nobody can read back.
    parameter("lineGain").setValueNotifyingHost(std::numeric_limits<float>::quiet_NaN());
    juce::MemoryBlock chunk;
    processor->getStateInformation(chunk);
    const auto xml =
        juce::AudioProcessor::getXmlFromBinary(chunk.getData(), static_cast<int>(chunk.getSize()));
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(xml->getChildByAttribute("id", "lineGain")->getDoubleAttribute("value"),
              parameter("lineGain").convertFrom0to1(parameter("lineGain").getDefaultValue()));
}

// The reader takes plain well-formed documents only; the framework's lenient parser can loop for ever or
// recurse without limit on some malformed text.
TEST(StoredXml, ReadsWellFormedDocumentsOnly)
{
    const std::pair<std::string, bool> cases[] = {
        {"<PARAMS/>", true},
        {"  <?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n\r\n<PARAMS>\r\n  <PARAM id=\"a\" "
         "value=\"1\"/>\r\n</PARAMS>\r\n",
         true},
        {"<!-- note --><PARAMS a='x &amp; y &#38; &#x26;'><![CDATA[<raw>]]>text<!-- c --></PARAMS > <!-- end "
         "-->",
         true},
        {"<PARAMS a=\"\xe2\x82\xac \xc3\xa9\">\xc3\xa4</PARAMS>", true},
        {std::string("<PARAMS/>\0garbage after the end", 30), true},
        {"", false},
        {"   ", false},
        {"<PARAMS>", false},
        {"<PARAMS></OTHER>", false},
        {"<PARAMS a=1/>", false},
        {"<PARAMS a=\"<\"/>", false},
        {"<PARAMS a=\"1\"b=\"2\"/>", false},
        {"<PARAMS>&unterminated</PARAMS>", false},
        {"<PARAMS><![CDATA[open</PARAMS>", false},
        {"<PARAMS><!-- open</PARAMS>", false},
        {"<PARAMS><?pi x?></PARAMS>", false},
        {"<!DOCTYPE PARAMS><PARAMS/>", false},
        {"<PARAMS/><PARAMS/>", false},
        {"<PARAMS/>trailing", false},
        {"<PARAMS grt=\":1\"><PARAM id=$Fader\" val<?xml version=\"1.0\"?><!-- c "
         "-->:PARAMS><![CDATA[<ue=\"-60C1",
         false},
        {"<a>" + juce::String::repeatedString("<a>", 63).toStdString() +
             juce::String::repeatedString("</a>", 64).toStdString(),
         true},
        {"<a>" + juce::String::repeatedString("<a>", 64).toStdString() +
             juce::String::repeatedString("</a>", 65).toStdString(),
         false},
    };
    for (const auto& [text, accepted] : cases)
        EXPECT_EQ(omvitz::parseStoredXml(text.data(), text.size()) != nullptr, accepted) << text;
}

struct Presets : State
{
    juce::File presets() const { return TZStripProcessor::presetsFolder(); }
    juce::StringArray listedNames() const
    {
        juce::StringArray names;
        for (const auto& file : TZStripProcessor::listPresets())
            names.add(TZStripProcessor::presetDisplayName(file));
        names.sort(false);
        return names;
    }
    // Every file anywhere under the home folder, so a write outside the presets folder shows.
    int filesUnderHome() const { return home.findChildFiles(juce::File::findFiles, true, "*").size(); }
};

TEST_F(Presets, FoldersFollowTheUsersConfigurationFolder)
{
    EXPECT_EQ(TZStripProcessor::startupDefaultFile(),
              home.getChildFile(".config/OMVI Audio/TZ Channel/startup-default.xml"));
    EXPECT_EQ(presets(), home.getChildFile(".config/OMVI Audio/TZ Channel/Presets"));
    EXPECT_FALSE(home.getChildFile(".config").exists()); // looking up the paths creates nothing

    // A configuration folder named in user-dirs.dirs takes over when it exists.
    const auto custom = home.getChildFile("elsewhere");
    ASSERT_TRUE(custom.createDirectory());
    ASSERT_TRUE(home.getChildFile(".config").createDirectory());
    ASSERT_TRUE(
        home.getChildFile(".config/user-dirs.dirs").replaceWithText("XDG_CONFIG_HOME=\"$HOME/elsewhere\"\n"));
    EXPECT_EQ(TZStripProcessor::startupDefaultFile(),
              custom.getChildFile("OMVI Audio/TZ Channel/startup-default.xml"));
}

TEST_F(Presets, SavedFileFormatAndNaming)
{
    EXPECT_TRUE(listedNames().isEmpty());
    EXPECT_TRUE(presets().isDirectory()); // listing creates the folder

    set("compThr", 8.0f);
    processor->savePreset("  Kick In  ");
    processor->savePreset("Snare.tzpreset");
    processor->savePreset("    ");
    processor->savePreset("");
    EXPECT_EQ(listedNames().joinIntoString("|"), "Kick In|Snare.tzpreset");
    EXPECT_TRUE(presets().getChildFile("Snare.tzpreset.tzpreset").existsAsFile());

    const auto text = presets().getChildFile("Kick In.tzpreset").loadFileAsString();
    EXPECT_TRUE(text.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n\r\n<PARAMS>\r\n  <PARAM "))
        << text.substring(0, 80);
    EXPECT_TRUE(text.endsWith("</PARAMS>\r\n"));
    const auto xml = juce::parseXML(text);
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(xml->getNumAttributes(), 0); // the tree alone, nothing added
    EXPECT_EQ(xml->getChildByAttribute("id", "compThr")->getDoubleAttribute("value"), 8.0);

    // The same name again keeps one file, with the latest settings.
    set("compThr", -4.0f);
    processor->savePreset("Kick In");
    EXPECT_EQ(listedNames().size(), 2);
    set("compThr", 0.0f);
    processor->loadPreset(presets().getChildFile("Kick In.tzpreset"));
    EXPECT_EQ(plain("compThr"), -4.0f);
}

TEST_F(Presets, NamesThatLeaveTheFolderSaveNothing)
{
    listedNames();
    const int before = filesUnderHome();
    for (const auto* name : {"../escape", "a/b", "/tmp/abs", "sub\\name", ".", "..", " .. ", "~/x"})
        processor->savePreset(name);
    EXPECT_EQ(filesUnderHome(), before);
    EXPECT_TRUE(listedNames().isEmpty());
    processor->savePreset("~root"); // a tilde is only a character in a name
    EXPECT_EQ(listedNames().joinIntoString("|"), "~root");
}

TEST_F(Presets, ListingTakesOnlyPresetFilesDirectlyInTheFolder)
{
    ASSERT_TRUE(presets().getChildFile("sub").createDirectory());
    ASSERT_TRUE(presets().getChildFile("sub/nested.tzpreset").replaceWithText("<PARAMS/>"));
    ASSERT_TRUE(presets().getChildFile("folder.tzpreset").createDirectory());
    for (const auto* name : {"a.tzpreset", ".hidden.tzpreset", "b.TZPRESET", "c.txt", "d.tzpreset.bak"})
        ASSERT_TRUE(presets().getChildFile(name).replaceWithText("<PARAMS/>"));
    EXPECT_EQ(listedNames().joinIntoString("|"), ".hidden|a");
}

TEST_F(Presets, LoadingAppliesWhatAFileListsAndIgnoresBrokenFiles)
{
    ASSERT_TRUE(presets().createDirectory());
    const auto write = [this](const char* name, const juce::String& text)
    {
        const auto file = presets().getChildFile(name);
        EXPECT_TRUE(file.replaceWithText(text));
        return file;
    };
    set("fader", -10.0f);
    processor->loadPreset(write("partial.tzpreset", "<PARAMS guiScale=\"2\" guiScaleUserSet=\"1\">"
                                                    "<PARAM id=\"compThr\" value=\"8\"/></PARAMS>"));
    EXPECT_EQ(plain("compThr"), 8.0f);
    EXPECT_NEAR(plain("fader"), -10.0f, 1e-4f);
    EXPECT_EQ(processor->restoredGuiScale.load(), 1.0f); // scale attributes of a file are not read
    EXPECT_FALSE(processor->guiScaleUserSet.load());

    // Well-formed files that would set the threshold if they were read.
    const juce::String setsThreshold = "<PARAM id=\"compThr\" value=\"2\"/>";
    const auto deep = "<PARAMS>" + setsThreshold + juce::String::repeatedString("<a>", 100) +
                      juce::String::repeatedString("</a>", 100) + "</PARAMS>";
    const auto huge = "<PARAMS>" + setsThreshold +
                      juce::String::repeatedString(" ", static_cast<int>(omvitz::maxStoredXmlBytes)) +
                      "</PARAMS>";
    for (const auto& file :
         {write("text.tzpreset", "not XML at all"), write("deep.tzpreset", deep),
          write("huge.tzpreset", huge), presets().getChildFile("missing.tzpreset"), presets()})
    {
        processor->loadPreset(file);
        EXPECT_EQ(plain("compThr"), 8.0f) << file.getFileName();
    }
}

TEST_F(Presets, StartupDefaultIsWhatNewInstancesStartWith)
{
    TZStripProcessor::clearStartupDefault(); // none there: nothing happens
    EXPECT_FALSE(TZStripProcessor::startupDefaultFile().exists());

    set("compThr", 8.0f);
    processor->saveStartupDefault();
    ASSERT_TRUE(TZStripProcessor::startupDefaultFile().existsAsFile());
    EXPECT_EQ(TZStripProcessor().readParams().compThrDb, 8.0f);

    TZStripProcessor::clearStartupDefault();
    EXPECT_FALSE(TZStripProcessor::startupDefaultFile().exists());
    EXPECT_EQ(TZStripProcessor().readParams().compThrDb,
              parameter("compThr").convertFrom0to1(parameter("compThr").getDefaultValue()));

    ASSERT_TRUE(TZStripProcessor::startupDefaultFile().replaceWithText("{\"compThr\": 8}"));
    TZStripProcessor fromBrokenFile;
    for (const auto* id : omvitz::controlIds)
    {
        auto* p = fromBrokenFile.state.getParameter(id);
        EXPECT_EQ(p->getValue(), p->getDefaultValue()) << id;
    }
}
} // namespace
