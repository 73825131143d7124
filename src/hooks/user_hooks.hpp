#pragma once

// Hooks registered once per user rather than per repository: the session-start
// hook and the post-tool row fire in every repository a harness opens, and both do
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

// The command of Claude Code's PostToolUse row, the tools it fires for, and its time
// limit in seconds: the row's upload stops after 5 s of network time, so this is
// only a backstop.
inline constexpr std::string_view CLAUDE_POST_TOOL_COMMAND =
    "kolvex attest add --from-hook --agent claude-code --user";
inline constexpr std::string_view POST_TOOL_MATCHER = "Bash";
inline constexpr int POST_TOOL_TIMEOUT_SECONDS = 30;

// Which of the user-level hooks a change is about.
enum class UserHook { session_start, post_tool };

// What registering the hook in one settings file did.
enum class UserHookAction {
  added,           // our hook was added (the file may have been created)
  already_present, // a kolvex hook of that kind was there; the file is untouched
  failed,          // the file could not be read, parsed or written; it is untouched
};

// One harness's outcome, for setup to print.
struct UserHookChange {
  std::string agent; // canonical agent name, "claude-code"
  UserHook hook = UserHook::session_start;
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

// Whether `command` runs kolvex's post-tool row (`kolvex attest add` with
// --from-hook), recognised through the same wrappers as is_session_start_command.
[[nodiscard]] bool is_post_tool_command(std::string_view command);

// `settings` (a parsed settings.json) with our PostToolUse row (matcher "Bash")
// appended after the user's own; nullopt when a kolvex post-tool row is already
// there under any matcher.  Throws std::runtime_error like merge_claude_session_start.
[[nodiscard]] std::optional<core::Value> merge_claude_post_tool(const core::Value& settings);

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

// Registers both user-level hooks (session start, then the post-tool row) in the
// Claude Code settings file `settings_path` with one rewrite, under the rules of
// install_claude_session_start_hook; one change per hook, in that order.
[[nodiscard]] std::vector<UserHookChange>
install_claude_user_hooks(const std::filesystem::path& settings_path);

// Registers the user-level hooks for each harness of `agents` (any spelling the
// registry knows) that supports them, each harness at most once, in the order
// given; the others are skipped silently.
[[nodiscard]] std::vector<UserHookChange>
install_user_session_hooks(const std::vector<std::string>& agents);

// What taking kolvex's rows out of one settings file did.
struct UserHookRemoval {
  enum class Action { none, updated, deleted, failed };
  Action action = Action::none;
  std::filesystem::path settings; // the settings file
  std::string error;              // why it was left alone (failed)
};

// `text` (a settings file, strict JSON) without kolvex's SessionStart group and
// PostToolUse row: each a group holding one hook whose command the recognisers
// above know (a group holding a hook of the user's too stays); an event list, and
// "hooks", left with nothing but ours go as well, so that the splice is undone byte
// for byte.  "" when the file is exactly what setup writes into a missing one;
// nullopt when it holds no row of ours.  Throws core::json_edit::NotEditableError.
[[nodiscard]] std::optional<std::string> remove_claude_rows(std::string_view text);

// Takes kolvex's rows out of the Claude Code settings file `settings_path` (a link
// written through to its target), by atomic replace keeping its permissions, or
// deletes the file when kolvex created it and nothing else is in it.  Never throws:
// a malformed or read-only file is left alone and reported as failed.
[[nodiscard]] UserHookRemoval remove_claude_user_hooks(const std::filesystem::path& settings_path);

} // namespace kolvex::hooks::user_hooks
