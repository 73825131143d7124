#pragma once

// What installing and removing kolvex's git hooks (hooks/installer.cpp,
// hooks/installer_removal.cpp) both need to know: where the hook managers keep their
// configurations, how to look at a file there without following it out of the
// repository, and the lines a user is asked to add or take out by hand.  Private to
// hooks/: only the installer's own files include it.

#include "core/fs.hpp"
#include "hooks/installer.hpp"
#include "hooks/manager_configs.hpp"

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex::hooks::installer::detail {

// lefthook's YAML configurations, which kolvex edits.
inline constexpr std::array<std::string_view, 6> k_lefthook_configs{"lefthook.yml",
                                                                    ".lefthook.yml",
                                                                    ".config/lefthook.yml",
                                                                    "lefthook.yaml",
                                                                    ".lefthook.yaml",
                                                                    ".config/lefthook.yaml"};
// lefthook's JSON and TOML configurations, which kolvex leaves to the user (a ManualStep).
inline constexpr std::array<std::string_view, 9> k_lefthook_other_configs{"lefthook.toml",
                                                                          ".lefthook.toml",
                                                                          ".config/lefthook.toml",
                                                                          "lefthook.json",
                                                                          ".lefthook.json",
                                                                          ".config/lefthook.json",
                                                                          "lefthook.jsonc",
                                                                          ".lefthook.jsonc",
                                                                          ".config/lefthook.jsonc"};
inline constexpr std::string_view k_pre_commit_config = ".pre-commit-config.yaml";
// What lefthook writes into the hook scripts it installs.
inline constexpr std::string_view k_lefthook_sign = "lefthook";

// An edit of a manager's configuration text for one hook (manager_configs' add_to_*
// and remove_from_*): the text, git's name of the hook and the line it runs.
using Editor = manager_configs::Edit (*)(std::string_view, std::string_view, std::string_view);

// Whether anything, a dangling link included, is at `path`.
[[nodiscard]] bool present(const std::filesystem::path& path);

// Whether `path` is, or leads by links to, a regular file.
[[nodiscard]] bool is_file(const std::filesystem::path& path);

// Whether the regular file `at` holds `text`; false when it is missing or refused.
[[nodiscard]] bool file_contains(const core::fs::Confined& at, std::string_view text);

// `path` as the user is shown it: relative to `repo_root` when it lies inside.
[[nodiscard]] std::string shown(const std::filesystem::path& path,
                                const std::filesystem::path& repo_root);

// Whether `hooks` is the directory husky 9 points core.hooksPath at (.husky/_), whose
// scripts husky rewrites on every install; the user's own lie one level up.
[[nodiscard]] bool is_husky_dir(const std::filesystem::path& hooks);

// What to add to the hook script `file` that kolvex cannot put its shell block into,
// with `interpreter` from its "#!" line (nullopt: it has none); a python script is
// given the lines that also run `program` (absolute; empty: none).
[[nodiscard]] ManualStep script_step(const HookSpec& spec,
                                     const std::filesystem::path& file,
                                     const std::optional<std::string>& interpreter,
                                     const std::filesystem::path& program);

// What to add for `spec` to the lefthook configuration `config` in JSON or TOML, which
// kolvex does not edit.
[[nodiscard]] ManualStep lefthook_step(const HookSpec& spec, const std::filesystem::path& config);

} // namespace kolvex::hooks::installer::detail
