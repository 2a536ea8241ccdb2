# One INTERFACE target carries the language standard, warnings and the optional
# sanitizers; every library, program and test of the suite links it.
add_library(tvx_config INTERFACE)
target_compile_features(tvx_config INTERFACE cxx_std_20)
target_compile_options(tvx_config INTERFACE -Wall -Wextra)
# Line tables are all a backtrace or a profiler needs. Full debug information
# costs a third of the build time, most of it in the HTTP front end's templates.
target_compile_options(tvx_config INTERFACE $<$<CONFIG:RelWithDebInfo>:-g1>)

# The instrumented builds below are for finding faults, not for speed: -O1
# keeps stack traces whole and compiles in about half the time of -O2.
option(TVX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(TVX_SANITIZE)
  target_compile_options(tvx_config INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined -O1)
  target_link_options(tvx_config INTERFACE -fsanitize=address,undefined)
endif()

# The fuzz build instruments every library for coverage; the fuzz targets
# themselves link libFuzzer's main (tests/fuzz).
if(TVX_FUZZ)
  target_compile_options(tvx_config INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined -O1)
  target_link_options(tvx_config INTERFACE -fsanitize=address,undefined)
endif()

# The core libraries of the two programs hold the logic that needs no window.
# tvx_forbid_window_libraries(<target>) makes sure it stays so: the target gets
# a source that fails to compile when the Widgets or WebEngine headers are on
# its include path, and at the end of the configure step its link libraries
# are walked for those modules.
set(TVX_NO_WINDOW_HEADERS_SOURCE ${CMAKE_CURRENT_LIST_DIR}/NoWindowHeaders.cpp)

function(tvx_forbid_window_libraries target)
  target_sources(${target} PRIVATE ${TVX_NO_WINDOW_HEADERS_SOURCE})
  # A deferred call's arguments are expanded when it runs: put the name in now.
  cmake_language(EVAL CODE
    "cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]] CALL tvx_check_no_window_libraries [[${target}]])")
endfunction()

function(tvx_collect_links target out)
  set(seen ${${out}})
  get_target_property(aliased ${target} ALIASED_TARGET)
  if(aliased)
    set(target ${aliased})
  endif()
  get_target_property(type ${target} TYPE)
  set(props INTERFACE_LINK_LIBRARIES)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    list(APPEND props LINK_LIBRARIES)
  endif()
  foreach(prop ${props})
    get_target_property(libs ${target} ${prop})
    if(NOT libs)
      continue()
    endif()
    foreach(lib ${libs})
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" lib "${lib}")
      if(lib MATCHES "^\\$<" OR lib IN_LIST seen)
        continue()
      endif()
      list(APPEND seen ${lib})
      if(TARGET ${lib})
        tvx_collect_links(${lib} seen)
      endif()
    endforeach()
  endforeach()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

function(tvx_check_no_window_libraries target)
  set(links "")
  tvx_collect_links(${target} links)
  foreach(lib ${links})
    if(lib MATCHES "^Qt6?::(Widgets|WebEngine|WebChannel|Multimedia)")
      message(FATAL_ERROR "${target} must not link ${lib}: it holds logic that needs no window")
    endif()
  endforeach()
endfunction()
