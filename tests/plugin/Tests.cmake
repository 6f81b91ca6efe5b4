# Plug-in tests: in-process against the processor, and through the built VST3 bundle with tzstrip.
file(GLOB TZ_PLUGIN_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp ${CMAKE_CURRENT_LIST_DIR}/../host/*.cpp)
add_executable(plugin_tests ${TZ_PLUGIN_TESTS})
target_link_libraries(plugin_tests PRIVATE TZStrip GTest::gtest_main)
target_include_directories(plugin_tests PRIVATE $<TARGET_PROPERTY:TZStrip,INCLUDE_DIRECTORIES>)
target_compile_definitions(plugin_tests PRIVATE
    $<TARGET_PROPERTY:TZStrip,COMPILE_DEFINITIONS>
    TZ_VST3_BUNDLE="$<TARGET_FILE_DIR:TZStrip_VST3>/../.."
    TZSTRIP_EXE="$<TARGET_FILE:tzstrip>")
target_compile_options(plugin_tests PRIVATE ${TZ_WARNINGS})
add_dependencies(plugin_tests TZStrip_VST3 tzstrip)
gtest_discover_tests(plugin_tests DISCOVERY_TIMEOUT 120 PROPERTIES ENVIRONMENT "HOME=${CMAKE_BINARY_DIR}/test-home")

# State access from a host thread while audio runs; the test command also builds it with ThreadSanitizer.
file(GLOB TZ_THREAD_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../threads/*.cpp)
add_executable(thread_tests ${TZ_THREAD_TESTS})
target_link_libraries(thread_tests PRIVATE TZStrip GTest::gtest_main)
target_include_directories(thread_tests PRIVATE $<TARGET_PROPERTY:TZStrip,INCLUDE_DIRECTORIES>)
target_compile_definitions(thread_tests PRIVATE $<TARGET_PROPERTY:TZStrip,COMPILE_DEFINITIONS>)
target_compile_options(thread_tests PRIVATE ${TZ_WARNINGS})
gtest_discover_tests(thread_tests DISCOVERY_TIMEOUT 120 PROPERTIES ENVIRONMENT "HOME=${CMAKE_BINARY_DIR}/test-home")
