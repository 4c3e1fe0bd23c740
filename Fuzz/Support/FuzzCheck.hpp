#pragma once

#include <cstdio>
#include <cstdlib>

/// Stops the run when a property of the code under test does not hold. It aborts rather than
/// throwing so that libFuzzer and the seed driver both see a crash and keep the input, and it
/// is active in every build type (unlike assert).
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__,        \
                         #condition);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
