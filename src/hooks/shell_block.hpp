#pragma once

// kolvex's lines inside a shell hook script: one block between two marker lines, so
// that a hook written by someone else (or by a hook manager's user) keeps running as
// it is, and setup can find, update or leave the block without touching the rest.

#include <optional>
#include <string>
#include <string_view>

namespace kolvex::hooks::shell_block {

// The first marker line of the block for git hook `hook` ("post-commit").
[[nodiscard]] std::string begin_marker(std::string_view hook);
// The last marker line of that block.
[[nodiscard]] std::string end_marker(std::string_view hook);

// The block for hook `hook` running `body` (shell lines, each ending in "\n") as a
// function whose failure, output and input are its own: it cannot stop the script
// around it (even under `sh -e`), print into it, or read what it is given.  `body`
// ends early with `return`, never `exit`, and keeps variables it sets in a subshell
// of its own.
[[nodiscard]] std::string render(std::string_view hook, std::string_view body);

// What a script holds of the block for one hook.
enum class Found {
  none,    // no marker line
  block,   // both marker lines, in order
  damaged, // one marker line without the other, or out of order
};

// Where the block of `hook` is in `script`: byte offsets of its first marker line and
// of the end of its last marker line (after the "\n").
struct Span {
  Found found = Found::none;
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Looks for the block of `hook` in `script`.
[[nodiscard]] Span find(std::string_view script, std::string_view hook);

// `script` with `block` put where it runs before anything else: right after the "#!"
// line when there is one, else at the top.
[[nodiscard]] std::string insert(std::string_view script, std::string_view block);

// `script` with the block at `span` replaced by `block`.
[[nodiscard]] std::string
replace(std::string_view script, const Span& span, std::string_view block);

// `script` without the block at `span`.
[[nodiscard]] std::string remove(std::string_view script, const Span& span);

// The interpreter a script names in its "#!" line ("python3" for "#!/usr/bin/env
// python3"), "sh" for a text script without one (git and husky run those with sh), and
// nullopt for a file that is not text (a binary hook).
[[nodiscard]] std::optional<std::string> interpreter(std::string_view script);

// Whether a script run by `interpreter` can hold the block: the POSIX shells.
[[nodiscard]] bool is_shell(std::string_view interpreter);

// Whether `script` does nothing but what its blocks do: no line outside them other
// than the "#!" line, blanks and comments.
[[nodiscard]] bool only_blocks(std::string_view script);

} // namespace kolvex::hooks::shell_block
