#pragma once

// The one way a fuzz target reports a broken invariant: a message naming it, then
// abort(), which libFuzzer records as a crash with the input that caused it.

#include <cstdio>
#include <cstdlib>

namespace kolvex::fuzz {

// Aborts with `what` on stderr unless `condition` holds.
inline void check(bool condition, const char* what)
{
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

} // namespace kolvex::fuzz
