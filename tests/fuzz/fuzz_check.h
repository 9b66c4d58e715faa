// What a fuzz target does when an invariant fails: says which, then aborts, so that libFuzzer
// keeps the input as a crash (asserts would vanish in a release build).
#pragma once

#include <cstdio>
#include <cstdlib>

inline void FuzzRequire(bool holds, const char* invariant) {
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", invariant);
        std::abort();
    }
}
