# libFuzzer targets for the settings readers. Configure with clang and TZ_FUZZ=ON: the whole build,
# JUCE included, is then instrumented with AddressSanitizer, UBSan and the fuzzer's coverage.
foreach(target fuzz_state fuzz_preset)
    add_executable(${target} ${CMAKE_CURRENT_LIST_DIR}/${target}.cpp)
    target_link_libraries(${target} PRIVATE TZStrip)
    target_include_directories(${target} PRIVATE $<TARGET_PROPERTY:TZStrip,INCLUDE_DIRECTORIES>)
    target_compile_definitions(${target} PRIVATE $<TARGET_PROPERTY:TZStrip,COMPILE_DEFINITIONS>)
    target_compile_options(${target} PRIVATE ${TZ_WARNINGS})
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
endforeach()
