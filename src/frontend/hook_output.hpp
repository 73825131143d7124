#pragma once

// What a hook prints for the harness that runs it.  A harness parses a hook's
// standard output, each in its own shape, so the hooks build their output here and
// never spell a harness's format themselves.  Part of libattest.so (the post-tool
// row prints through it); the front end's session start uses it too.

#include "core/value.hpp"

#include <optional>
#include <string_view>

namespace kolvex::commands {

// The structure harness `harness` (any spelling the adapter registry knows) reads
// from the stdout of its `event` hook ("PostToolUse", "SessionStart", ...) to hand
// `text` to the model, printed as one line of JSON; nullopt when that harness has
// no structured form or `text` is empty (nothing to print).
[[nodiscard]] std::optional<core::Value>
render_hook_context(std::string_view harness, std::string_view event, std::string_view text);

} // namespace kolvex::commands
