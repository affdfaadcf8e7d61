# The host build: the tool's sources against the simulated machine in standin/.

# The stand-in's <windows.h> holds only types and constants; the operations come from the stand-in.
target_include_directories(velkor_tool SYSTEM PUBLIC standin/include)

add_library(velkor_standin STATIC
    standin/machine.cpp
    standin/machine_file.cpp
    standin/the_machine.cpp
    standin/console.cpp
    standin/platform_standin.cpp)
target_include_directories(velkor_standin PUBLIC standin)
target_link_libraries(velkor_standin PUBLIC velkor_tool)

# The host executable: the tool on a simulated machine where velkor is installed.
add_executable(velkor-remover-host src/frontend/main.cpp)
target_link_libraries(velkor-remover-host PRIVATE velkor_tool velkor_standin)

include(CTest)
if(BUILD_TESTING)
    find_package(GTest REQUIRED)
    add_executable(velkor_tests
        tests/remove_service_test.cpp
        tests/remove_windows_file_test.cpp
        tests/remove_registry_key_test.cpp
        tests/run_removal_test.cpp
        tests/console_standin_test.cpp
        tests/test_machine.h)
    target_link_libraries(velkor_tests PRIVATE velkor_tool velkor_standin GTest::gtest_main)
    include(GoogleTest)
    gtest_discover_tests(velkor_tests)
endif()

if(VELKOR_FUZZ)
    add_executable(velkor_fuzz tests/fuzz/fuzz_dialogue.cpp)
    target_link_libraries(velkor_fuzz PRIVATE velkor_tool velkor_standin)
    target_link_options(velkor_fuzz PRIVATE -fsanitize=fuzzer)
endif()
