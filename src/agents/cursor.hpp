#pragma once

// Cursor: detected by CURSOR_AGENT=1 or CURSOR_EXTENSION_HOST_ROLE=agent-exec
// (CURSOR_TRACE_ID is in every Cursor terminal and proves nothing).  Both are bare
// markers, and its history is a database that also holds credentials, never read:
// a commit under them names cursor without a session or telemetry.  Its skills are
// rules (.cursor/rules/<slug>.mdc) that hooks::agent_guidance writes.

#include "agents/harness.hpp"

namespace kolvex::agents {

// The registry's instance.
[[nodiscard]] const HarnessAdapter& cursor_adapter();

} // namespace kolvex::agents
