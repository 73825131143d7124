#pragma once

// Windsurf: its history is encrypted and it sets no known environment marker, so
// it is never detected and no session is read.  Its skills are rules
// (.windsurf/rules/<slug>.md) that hooks::agent_guidance writes; its tool servers
// are registered per user only.

#include "agents/harness.hpp"

namespace kolvex::agents {

// The registry's instance.
[[nodiscard]] const HarnessAdapter& windsurf_adapter();

} // namespace kolvex::agents
