# The VST3 and Standalone plug-in on Debian's JUCE, and the command-line host.
find_package(JUCE CONFIG REQUIRED)

option(TZ_COPY_PLUGIN "Copy the built VST3 bundle into ~/.vst3" OFF)

set(TZ_JUCE_DEFINITIONS
    JUCE_WEB_BROWSER=0
    JUCE_USE_CURL=0
    JUCE_VST3_CAN_REPLACE_VST2=0
    JUCE_USE_FLAC=0
    JUCE_USE_OGGVORBIS=0
    JUCE_DISPLAY_SPLASH_SCREEN=0)

juce_add_plugin(TZStrip
    COMPANY_NAME "OMVI Audio"
    COMPANY_WEBSITE ""
    COMPANY_EMAIL ""
    PRODUCT_NAME "OMVI Audio Ondrel Channel"
    VERSION 1.2.4
    PLUGIN_MANUFACTURER_CODE Mvoq
    PLUGIN_CODE Qzmn
    FORMATS VST3 Standalone
    IS_SYNTH FALSE
    NEEDS_MIDI_INPUT FALSE
    NEEDS_MIDI_OUTPUT FALSE
    IS_MIDI_EFFECT FALSE
    VST3_CATEGORIES Fx Dynamics EQ
    COPY_PLUGIN_AFTER_BUILD ${TZ_COPY_PLUGIN})

file(GLOB TZ_PLUGIN_SOURCES CONFIGURE_DEPENDS
    src/processor/*.cpp src/editor/*.cpp src/controls/*.cpp src/shared/*.cpp)
target_sources(TZStrip PRIVATE ${TZ_PLUGIN_SOURCES})
target_compile_definitions(TZStrip PUBLIC ${TZ_JUCE_DEFINITIONS})
target_include_directories(TZStrip PUBLIC src)
target_link_libraries(TZStrip
    PRIVATE juce::juce_audio_utils
    PUBLIC tz_core juce::juce_recommended_config_flags)
set_source_files_properties(${TZ_PLUGIN_SOURCES} PROPERTIES COMPILE_OPTIONS "${TZ_WARNINGS}")


add_subdirectory(tools)
