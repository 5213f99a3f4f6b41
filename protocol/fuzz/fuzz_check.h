// Shared by the fuzz targets: a property that does not hold is a crash the fuzzer reports.
#pragma once

#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (false)
