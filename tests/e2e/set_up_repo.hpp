#pragma once

// The end-to-end fixture and its helpers live in tests/support; this header keeps
// their earlier include path working.
#include "agents/claude_code.hpp"
#include "support/e2e.hpp"
#include "support/fake_adapter.hpp"
