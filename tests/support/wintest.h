#pragma once

// A few lines of harness for the Windows tests that run under wine without Qt: named cases, checks
// that say what failed, and the closing "N passed, N failed" line the test scripts add up.

#include <cstdio>
#include <cstdlib>

namespace wintest {

inline int passedCases = 0;
inline int failedCases = 0;
inline bool caseFailed = false;

inline void check(bool ok, const char *what, const char *file, int line) {
    if (ok)
        return;
    caseFailed = true;
    std::printf("  FAIL %s:%d: %s\n", file, line, what);
    std::fflush(stdout);
}

template <typename Body> void run(const char *name, Body body) {
    caseFailed = false;
    body();
    ++(caseFailed ? failedCases : passedCases);
    std::printf("%s %s\n", caseFailed ? "FAIL" : "PASS", name);
    std::fflush(stdout);
}

inline int finish() {
    std::printf("%d passed, %d failed\n", passedCases, failedCases);
    std::fflush(stdout);
    return failedCases == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}

} // namespace wintest

#define WINTEST_CHECK(condition) wintest::check((condition), #condition, __FILE__, __LINE__)
