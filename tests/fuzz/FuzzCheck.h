// What the fuzz targets share: a check that stops the run with the property that failed.
#pragma once

#include <cstdio>
#include <cstdlib>

// libFuzzer saves the input that made the process abort as a crash file.
#define FUZZ_CHECK(Cond)                                                                           \
    do {                                                                                           \
        if (!(Cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #Cond);       \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
