#pragma once

// Platform skills: the product's own engineering skills, installed once per
// repository by `npx skills add` from a public package, and the distribution of the
// fetched skills to every configured agent, so that each ends up with the same
// platform set plus the project's custom skills (a custom skill winning over a
// platform skill of the same slug).  Everything here changes the working tree, so
// the refresh runs it only when it may; none of it ever fails the refresh on its own.

#include "agents/skills.hpp"
#include "contracts/agent_adapter.hpp"
#include "core/value.hpp"
#include "repository_handle.hpp"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::services::relaycore::cache {

// The package `npx skills add` installs.
inline constexpr std::string_view SKILLS_PACKAGE = agents::skills::SKILLS_PACKAGE;

// The install command, run without a shell.
inline const std::vector<std::string> _SKILLS_INSTALL_CMD = {
    "npx", "-y", "skills", "add", std::string(SKILLS_PACKAGE), "-y"};

// How long the install may take before its whole process group is killed.
inline constexpr std::chrono::milliseconds k_install_timeout{120'000};

// Runs _SKILLS_INSTALL_CMD for `repo_root`: npx found on PATH (never in the
// repository), in an empty private directory under the user's cache
// ($XDG_CACHE_HOME/kolvex, else ~/.cache/kolvex), so that nothing in the
// repository can supply the package, its binary or npm's settings; stdin from the
// null device, in its own process group, output read and dropped; after `timeout`
// the whole group gets SIGKILL and is reaped.  What it installed is then carried
// into the repository (_carry_platform_skills).  True only when it ran, exited 0
// and its skills were carried; false when KOLVEX_SKIP_PLATFORM_SKILLS is set
// (non-empty), npx is missing, or the install could not start, failed, timed out
// or installed nothing.  A failure worth telling the user (it could not start, failed
// or timed out) is described in `*why` when given.  Never throws.
bool install_platform_skills(const std::filesystem::path& repo_root,
                             std::chrono::milliseconds timeout = k_install_timeout,
                             std::string* why = nullptr);

// Copies the platform skills that npx installed under `from` into `repo_root`:
// each listed skill's folder under .agents/skills (regular files only), and the
// lock manifest, merged into the repository's own.  False when the manifest under
// `from` lists none.  Throws std::system_error when a file cannot be read or
// written (a link in the repository on the way is refused).
bool _carry_platform_skills(const std::filesystem::path& from,
                            const std::filesystem::path& repo_root);

// How long a failed install waits before it is tried again (unless the wanted
// skill set changes first).
inline constexpr std::chrono::hours k_install_backoff{6};

// Installs the platform skills when the npx lock manifest records none of them (the
// contents of .agents/skills do not count: another agent may have written custom
// skills there).  `wanted` is the set of platform slugs the server serves (nullopt
// when that is not known this time).  A failed install is recorded in
// paths::platform_skills_install and not tried again for k_install_backoff, unless
// `wanted` differs from the set it failed for; a successful one removes the record.
// Returns the lines to show the user: the install announced and its outcome, one
// line each; none when no install ran.  Never throws.
std::vector<std::string>
ensure_platform_skills(const paths::RepositoryHandle& repo,
                       const std::optional<std::vector<std::string>>& wanted = std::nullopt,
                       std::chrono::milliseconds timeout = k_install_timeout);

// Gives every adapter of `adapters` the custom skills of `skills_list` followed by
// the platform skills it lacks: none when npx already reaches it, else the
// npx-installed set (the server's platform skills when npx installed none), minus
// slugs a custom skill takes.  Then writes the custom and platform skills as Cursor
// and Windsurf rules.  One adapter's failure is logged and the next served; a
// failure reading the npx set or asking npx_covers_skills propagates.
void _distribute_skills(const std::filesystem::path& repo_root,
                        const core::List& skills_list,
                        const std::vector<const contracts::AgentAdapter*>& adapters);

} // namespace kolvex::services::relaycore::cache
