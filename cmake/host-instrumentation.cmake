# Instrumentation for every host target, the tool's own code included: set before any target.

option(VELKOR_SANITIZE "Build the host code with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
option(VELKOR_FUZZ "Build the libFuzzer target (needs clang)" OFF)

if(VELKOR_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
if(VELKOR_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
