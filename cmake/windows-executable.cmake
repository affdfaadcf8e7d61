# The product: a small, statically linked console executable that loads on Windows XP and later.

# No C++ library at run time: the tool is C-style code, and keeping libstdc++ out keeps MinGW's
# replacement printf out too, so msvcrt's own formatter and stream rules are the ones shipped.
target_compile_definitions(velkor_tool PUBLIC __USE_MINGW_ANSI_STDIO=0 WIN32_LEAN_AND_MEAN)
target_compile_options(velkor_tool PUBLIC -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables)

add_executable(velkor-remover
    src/frontend/main.cpp
    src/removal/platform_win32.cpp
    src/frontend/velkor-remover.rc)
target_link_libraries(velkor-remover PRIVATE velkor_tool shlwapi)
set_target_properties(velkor-remover PROPERTIES OUTPUT_NAME velkor-remover)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(VELKOR_SUBSYSTEM_VERSION 5,--minor-subsystem-version,1,--major-os-version,5,--minor-os-version,1)
else()
    set(VELKOR_SUBSYSTEM_VERSION 5,--minor-subsystem-version,2,--major-os-version,5,--minor-os-version,2)
endif()
# --tsaware: without it, GetWindowsDirectoryA answers a per-user directory on terminal servers.
# --no-insert-timestamp: the link time in the PE header (and so its checksum) is the only thing
# that made two builds of one commit differ; with 0 there, a release can be rebuilt byte for byte.
target_link_options(velkor-remover PRIVATE
    -static -s
    "LINKER:--major-subsystem-version,${VELKOR_SUBSYSTEM_VERSION}"
    LINKER:--tsaware
    LINKER:--no-insert-timestamp)

include(CTest)
if(BUILD_TESTING AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    add_test(NAME executable_imports_and_resources
        COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/check_executable.py $<TARGET_FILE:velkor-remover>)
endif()
