#pragma once

// Hooks registered once per user rather than per repository: the session-start
// hook fires in every repository a harness opens, and `kolvex session-start` does
// nothing where kolvex was never set up.  Only harnesses with a user-level hook
// file take part (Claude Code's settings.json).

#include "core/value.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::hooks::user_hooks {

// The command Claude Code's SessionStart hook runs, and its time limit in seconds:
// longer than the catch-up's 30-second wait for the log lock, so that a contended
// lock still leaves time for the walk and the summary.
inline constexpr std::string_view CLAUDE_SESSION_START_COMMAND =
    "kolvex session-start --agent claude-code";
inline constexpr int SESSION_START_TIMEOUT_SECONDS = 60;

// What registering the hook in one settings file did.
enum class UserHookAction {
  added,           // our hook was added (the file may have been created)
  already_present, // a kolvex session-start hook was there; the file is untouched
  failed,          // the file could not be read, parsed or written; it is untouched
};

// One harness's outcome, for setup to print.
struct UserHookChange {
  std::string agent;              // canonical agent name, "claude-code"
  std::filesystem::path settings; // the settings file
  UserHookAction action = UserHookAction::added;
  bool created = false; // the file did not exist before
  std::string error;    // why it failed (empty otherwise)

  // One line for the user: what was done to which file.
  [[nodiscard]] std::string message() const;
};

// Claude Code's user settings file: $CLAUDE_CONFIG_DIR/settings.json, or
// ~/.claude/settings.json when the variable is unset or empty.
[[nodiscard]] std::filesystem::path claude_settings_path();

// Whether `command` runs kolvex's session-start as one of its commands (any path to a
// "kolvex" binary, any options, after `cd ... &&`, assignments or `exec`), so a hook
// the user adapted or wrapped counts as ours and is not doubled.
[[nodiscard]] bool is_session_start_command(std::string_view command);

// `settings` (a parsed settings.json) with our SessionStart hook appended after
// the user's own, every other key kept in place; nullopt when a kolvex
// session-start hook is already there.  Throws std::runtime_error when `settings`,
// its "hooks" or "hooks.SessionStart" has a shape we cannot merge into.
[[nodiscard]] std::optional<core::Value> merge_claude_session_start(const core::Value& settings);

// Registers the SessionStart hook in the Claude Code settings file `settings_path`
// (created with its directory when missing, but not the directories above), by atomic
// replace keeping the file's permissions; a symbolic link is written through to its
// target.  Never throws: a malformed or read-only file is left alone and reported as
// `failed`.
[[nodiscard]] UserHookChange
install_claude_session_start_hook(const std::filesystem::path& settings_path);

// Registers the session-start hook for each harness of `agents` (any spelling the
// registry knows) that supports a user-level one, each at most once, in the order
// given; the others are skipped silently.
[[nodiscard]] std::vector<UserHookChange>
install_user_session_hooks(const std::vector<std::string>& agents);

} // namespace kolvex::hooks::user_hooks
