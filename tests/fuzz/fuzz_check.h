#pragma once

#include <cstdio>
#include <cstdlib>

// A property every input must keep. A violation aborts, which the fuzzer reports like a crash and
// the replay turns into a failed test. Active in every build type.
#define FUZZ_CHECK(condition)                                                                 \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (false)
