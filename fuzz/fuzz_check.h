// The fuzz targets' invariant check: a failed one aborts, and libFuzzer keeps the input as an artifact.
#pragma once

#include <cstdlib>

inline void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}
