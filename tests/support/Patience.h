#pragma once
// Upper bounds for the tests' waits. Tests wait for conditions, never for a
// fixed time; the bound only decides when a wait counts as failed. The
// sanitizer build runs the same code several times slower (the browser engine
// above all), so there every bound is stretched by TVX_TEST_SLOWDOWN, which
// the build sets for everything that links the test-support libraries.

#include <QtTest>

#ifndef TVX_TEST_SLOWDOWN
#error "link tvx_testsupport or tvx_processsupport, which set TVX_TEST_SLOWDOWN"
#endif

namespace testsupport {

constexpr int kSlowdown = TVX_TEST_SLOWDOWN;

// A wait's bound in this build, from its bound in the normal build.
constexpr int patient(int ms)
{
    return ms * kSlowdown;
}

} // namespace testsupport

// QtTest's waits without a bound of their own stop after 5 s; in this build
// they stretch like every other bound.
#undef QTRY_VERIFY
#define QTRY_VERIFY(expr) QTRY_VERIFY_WITH_TIMEOUT(expr, testsupport::patient(5000))
#undef QTRY_VERIFY2
#define QTRY_VERIFY2(expr, messageExpression) \
    QTRY_VERIFY2_WITH_TIMEOUT(expr, messageExpression, testsupport::patient(5000))
#undef QTRY_COMPARE
#define QTRY_COMPARE(expr, expected) QTRY_COMPARE_WITH_TIMEOUT(expr, expected, testsupport::patient(5000))
