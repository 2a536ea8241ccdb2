# One INTERFACE target carries the language standard, warnings and the optional
# sanitizers; every library, program and test of the suite links it.
add_library(tvx_config INTERFACE)
target_compile_features(tvx_config INTERFACE cxx_std_20)
# The include root: every header of the suite is named from the top of the
# tree ("common/FormEncoding.h", "server/store/Store.h").
target_include_directories(tvx_config INTERFACE ${PROJECT_SOURCE_DIR})
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

# The server's and common's own code gets more warnings, fixed where they
# fire, and no text made from a char * without saying its encoding. Private
# to the target: the programs that include common's headers build as before.
function(tvx_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual)
  target_compile_definitions(${target} PRIVATE QT_NO_CAST_FROM_ASCII)
endfunction()

set(TVX_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

# Libraries that must stay clear of some modules. tvx_forbid_links(<target>
# <header check source> <pattern> <reason>) gives the target a source that
# fails to compile when the forbidden headers are on its include path, and at
# the end of the configure step walks its link libraries for the forbidden
# modules.
function(tvx_forbid_links target source pattern reason)
  target_sources(${target} PRIVATE ${source})
  # A deferred call's arguments are expanded when it runs: put them in now.
  cmake_language(EVAL CODE
    "cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]] CALL tvx_check_links [[${target}]] [[${pattern}]] [[${reason}]])")
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

function(tvx_check_links target pattern reason)
  set(links "")
  tvx_collect_links(${target} links)
  foreach(lib ${links})
    if(lib MATCHES "${pattern}")
      message(FATAL_ERROR "${target} must not link ${lib}: ${reason}")
    endif()
  endforeach()
endfunction()

# The core libraries of the two programs hold the logic that needs no window:
# no Widgets, browser engine or multimedia, in their headers or links.
function(tvx_forbid_window_libraries target)
  tvx_forbid_links(${target} ${TVX_CMAKE_DIR}/NoWindowHeaders.cpp
                   "^Qt6?::(Widgets|WebEngine|WebChannel|Multimedia)" "it holds logic that needs no window")
endfunction()

# The server runs where there is no display: nothing of Qt Gui or above it,
# nor X11 through pkg-config.
function(tvx_forbid_display_libraries target)
  tvx_forbid_links(${target} ${TVX_CMAKE_DIR}/NoDisplayHeaders.cpp
                   "^(Qt6?::(Gui|Widgets|OpenGL|Quick|Qml|Svg|WebEngine|WebChannel|Multimedia)|PkgConfig::(XCB|X11))"
                   "the server needs no display libraries")
endfunction()
