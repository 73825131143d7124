#pragma once

// The end-to-end fixture lives in support/e2e.hpp; this name stays for the tests
// that include it.
#include "support/e2e.hpp"
