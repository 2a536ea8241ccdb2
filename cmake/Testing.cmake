# tvx_add_test(NAME <name> SOURCES <files...> LIBS <targets...> [XVFB] [TIMEOUT <s>]
#              [LABELS <labels...>] [STORES])
#
# Registers one Qt Test executable with CTest. Tests run offscreen unless XVFB is
# given, in which case they run inside a private Xvfb display with trayer as the
# tray host (scripts/xvfb-test.sh). Every test gets its own empty config and data
# folders so that no stored settings leak between runs. Under -DTVX_SANITIZE
# every time-out is tripled: CTest's, and the bounds of the tests' own waits
# (TVX_TEST_SLOWDOWN, which tests/support hands to tests/support/Patience.h).
# STORES registers the executable twice: <name> on SQLite stores, and
# <name>_pg on PostgreSQL ones (TVX_TEST_BACKEND=postgresql; the cluster is
# the one TVX_TEST_POSTGRES names, see tests/support/TestDatabase.h).
set(TVX_XVFB_WRAPPER ${CMAKE_SOURCE_DIR}/scripts/xvfb-test.sh)
# Instrumented code, the browser engine above all, runs several times slower.
set(TVX_TEST_SLOWDOWN 1)
set(TVX_TEST_GRAPHICS "")
if(TVX_SANITIZE)
  set(TVX_TEST_SLOWDOWN 3)
  # Under the sanitizers the programs draw without OpenGL: Mesa's GL driver,
  # loaded through GLX under Xvfb, leaks at start-up and is unloaded before the
  # leak check, which then cannot tell its leaks from ours.
  set(TVX_TEST_GRAPHICS ";QT_XCB_GL_INTEGRATION=none;QT_QUICK_BACKEND=software")
endif()

function(tvx_add_test)
  cmake_parse_arguments(T "XVFB;STORES" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE tvx_config tvx_patience Qt6::Test ${T_LIBS})
  target_compile_definitions(${T_NAME} PRIVATE
    TVX_BUILD_DIR="${CMAKE_BINARY_DIR}" TVX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  set(tests ${T_NAME})
  if(T_STORES)
    list(APPEND tests ${T_NAME}_pg)
  endif()
  set(timeout 300)
  if(T_TIMEOUT)
    set(timeout ${T_TIMEOUT})
  endif()
  math(EXPR timeout "${timeout} * ${TVX_TEST_SLOWDOWN}")
  foreach(test ${tests})
    if(T_XVFB)
      add_test(NAME ${test} COMMAND ${TVX_XVFB_WRAPPER} $<TARGET_FILE:${T_NAME}>)
      set(platform "xcb")
      set_property(TEST ${test} APPEND PROPERTY LABELS xvfb)
    else()
      add_test(NAME ${test} COMMAND ${T_NAME})
      set(platform "offscreen")
    endif()
    set(home ${CMAKE_BINARY_DIR}/test-home/${test})
    file(MAKE_DIRECTORY ${home})
    set_tests_properties(${test} PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=${platform};QTWEBENGINE_DISABLE_SANDBOX=1;XDG_CONFIG_HOME=${home}/config;XDG_DATA_HOME=${home}/data;XDG_CACHE_HOME=${home}/cache;QT_LOGGING_RULES=qt.qpa.*=false${TVX_TEST_GRAPHICS}")
    if(T_LABELS)
      set_property(TEST ${test} APPEND PROPERTY LABELS ${T_LABELS})
    endif()
    set_tests_properties(${test} PROPERTIES TIMEOUT ${timeout})
  endforeach()
  if(T_STORES)
    set_property(TEST ${T_NAME}_pg APPEND PROPERTY ENVIRONMENT "TVX_TEST_BACKEND=postgresql")
    set_property(TEST ${T_NAME}_pg APPEND PROPERTY LABELS postgres)
  endif()
endfunction()
