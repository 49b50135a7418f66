// The log, the base path and the support library are loaded once per
// process, so each test of them runs its scenario in a forked child that
// starts with none of them, and reports through its exit status.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace orvo::test {

// Unless condition holds, fails the child: prints why and ends it with status 1.
inline void ChildExpect(bool condition, const std::string& why)
{
    if (!condition) {
        std::fprintf(stderr, "child check failed: %s\n", why.c_str());
        std::fflush(stderr);
        std::_Exit(1);
    }
}

}  // namespace orvo::test

// Runs statement in a forked child; the test fails unless it returns.
#define EXPECT_IN_CHILD(...)                                                   \
    do {                                                                       \
        GTEST_FLAG_SET(death_test_style, "fast");                              \
        EXPECT_EXIT({ __VA_ARGS__; std::_Exit(0); }, ::testing::ExitedWithCode(0), ""); \
    } while (false)
