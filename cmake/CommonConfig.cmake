# One INTERFACE target carries the language standard, warnings and the optional
# sanitizers; every library, program and test of the suite links it.
add_library(tvx_config INTERFACE)
target_compile_features(tvx_config INTERFACE cxx_std_20)
target_compile_options(tvx_config INTERFACE -Wall -Wextra)

option(TVX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(TVX_SANITIZE)
  target_compile_options(tvx_config INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(tvx_config INTERFACE -fsanitize=address,undefined)
endif()

# The fuzz build instruments every library for coverage; the fuzz targets
# themselves link libFuzzer's main (tests/fuzz).
if(TVX_FUZZ)
  target_compile_options(tvx_config INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(tvx_config INTERFACE -fsanitize=address,undefined)
endif()
