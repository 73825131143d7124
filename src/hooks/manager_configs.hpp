#pragma once

// kolvex's entry in the YAML configuration of a hook manager that owns the git hooks
// (lefthook, the pre-commit framework).  These files belong to a team: they are
// edited as text, in their own style, with the comments and layout kept, and an edit
// is used only when loading the result gives exactly the old configuration plus the
// entry.  Anything else is refused with what to add by hand.

#include <stdexcept>
#include <string>
#include <string_view>

namespace kolvex::hooks::manager_configs {

// A configuration whose layout kolvex cannot edit safely (flow style, anchors, not
// YAML); what() says what to add by hand.
class ConfigLayoutError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// What adding the entry gave.
struct Edit {
  bool changed = false; // false: the entry was there already; `text` is the input
  std::string text;     // the whole new file
};

// The name of kolvex's command in lefthook's `hook` section, and the id of its hook in
// the pre-commit framework's configuration ("kolvex-post-commit").
inline constexpr std::string_view LEFTHOOK_COMMAND = "kolvex";
[[nodiscard]] std::string pre_commit_hook_id(std::string_view hook);

// lefthook's configuration `text` with a command named LEFTHOOK_COMMAND that runs the
// shell line `command` in section `hook` (under "jobs" when the section lists jobs,
// else under "commands").  Throws ConfigLayoutError.
[[nodiscard]] Edit
add_to_lefthook(std::string_view text, std::string_view hook, std::string_view command);

// The pre-commit framework's configuration `text` with a local hook
// pre_commit_hook_id(`hook`) that runs the shell line `command` at stage `hook` on
// every commit.  "default_install_hook_types" is left as it is: a hook type added
// there would run every hook without `stages:` at that type too.  Throws
// ConfigLayoutError.
[[nodiscard]] Edit
add_to_pre_commit(std::string_view text, std::string_view hook, std::string_view command);

// `text` without the command add_to_lefthook adds for `hook` and `command`, and the
// lines it put around it (a section or "commands:" of its own, the blank line
// before an appended section): the text that adding it again would give `text` from,
// so that a configuration comes back byte for byte.  `changed` false when there is
// no command of kolvex's.  Throws ConfigLayoutError when the entry is there but not
// as kolvex writes it (the user changed it: theirs to take out).
[[nodiscard]] Edit
remove_from_lefthook(std::string_view text, std::string_view hook, std::string_view command);

// The same for the local hook add_to_pre_commit adds (and "repos:" when kolvex
// wrote it).
[[nodiscard]] Edit
remove_from_pre_commit(std::string_view text, std::string_view hook, std::string_view command);

// `text` as a double-quoted string that YAML, JSON, TOML and Python all read back as
// `text` (the commands quoted here hold no control characters).
[[nodiscard]] std::string double_quoted(std::string_view text);

} // namespace kolvex::hooks::manager_configs
