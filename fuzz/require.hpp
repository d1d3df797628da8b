// The fuzz targets' assertion: a broken property is a finding, so it aborts with a message and
// libFuzzer saves the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace tallyfit::fuzz {

inline void require(bool holds, const char *property) {
    if (!holds) {
        std::fprintf(stderr, "property violated: %s\n", property);
        std::abort();
    }
}

} // namespace tallyfit::fuzz
