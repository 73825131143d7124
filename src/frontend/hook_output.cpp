#include "frontend/hook_output.hpp"

#include "agents/registry.hpp"

#include <string>

namespace kolvex::commands {

std::optional<core::Value>
render_hook_context(std::string_view harness, std::string_view event, std::string_view text)
{
  if (text.empty()) {
    return std::nullopt;
  }
  if (agents::normalize_agent_name(harness) == "claude-code") {
    // Claude Code takes "additionalContext" of the matching event as context for the
    // model, on exit status 0.
    return core::Value(core::Map{{"hookSpecificOutput",
                                  core::Map{{"hookEventName", std::string(event)},
                                            {"additionalContext", std::string(text)}}}});
  }
  return std::nullopt;
}

} // namespace kolvex::commands
