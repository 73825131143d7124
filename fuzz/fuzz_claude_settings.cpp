// A user's Claude Code settings.json: whatever shape it has, merging our
// session-start hook either refuses cleanly or keeps every key, adds the hook
// exactly once, and finds it on a second merge.
#include "core/json.hpp"
#include "hooks/user_hooks.hpp"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  namespace user_hooks = kolvex::hooks::user_hooks;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  kolvex::core::Value settings;
  try {
    settings = kolvex::core::json::parse(text);
  } catch (const kolvex::core::json::JsonError&) {
    return 0;
  }
  std::optional<kolvex::core::Value> merged;
  try {
    merged = user_hooks::merge_claude_session_start(settings);
  } catch (const std::runtime_error&) {
    return 0; // a shape we do not merge into
  }
  if (!merged) {
    return 0; // already registered
  }
  if (settings.is_map()) {
    for (const auto& [key, value] : settings.as_map()) {
      if (merged->as_map().find(key) == nullptr) {
        std::abort();
      }
    }
  }
  if (user_hooks::merge_claude_session_start(*merged).has_value()) {
    std::abort();
  }
  // What is written must read back as the same settings (compared as text: NaN is
  // not equal to itself).
  const std::string written = kolvex::core::json::dump_indented(*merged, 2);
  if (kolvex::core::json::dump_indented(kolvex::core::json::parse(written), 2) != written) {
    std::abort();
  }
  return 0;
}
