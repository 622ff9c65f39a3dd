// Which system the tests run on. Where Wine's answer differs from the one
// Windows documents, a test requires Windows' answer on Windows and takes
// Wine's only under Wine, as a known deviation printed by name, as Wine's
// own conformance tests do with broken() and todo_wine.
#ifndef TESTS_PLATFORM_H
#define TESTS_PLATFORM_H

#include <gtest/gtest.h>

// True under Wine, whose ntdll exports wine_get_version.
bool UnderWine();

// True only under Wine, and only when `happened`: Wine's known deviation
// `what`, printed. On Windows always false, so that the test goes on to
// require Windows' answer.
bool WineDeviation(bool happened, const char *what);

// Skips the test, visibly, where Wine lacks what it needs.
#define SKIP_UNDER_WINE(lacking) \
    if (UnderWine()) GTEST_SKIP() << "Wine has no " lacking

#endif
