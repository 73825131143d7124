#pragma once

// Which cloud project a repository belongs to: asked of the server once, by the
// repository's origin remote, then remembered in the local configuration so that
// every later sync reads it from disk.  A failure is a reason and a code, never an
// exception: the caller is holding attestations, and the one safe answer to "could
// not resolve" is to keep holding them.

#include "repository_handle.hpp"
#include "services/relaycore/log/pending.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kolvex::services::relaycore::sync {

// Failure codes made here; the server's refusal codes are the API client's.
inline constexpr std::string_view NOT_SIGNED_IN = "not_signed_in";
inline constexpr std::string_view NO_ORIGIN = "no_origin";
inline constexpr std::string_view CONFIG_UNWRITABLE = "config_unwritable";

// The outcome of asking the server which project this repo belongs to.
struct ProjectResolution {
  std::optional<std::int64_t> project_id{};
  std::optional<std::string> title{};
  bool created = false;
  std::optional<std::string> reason{};
  std::optional<std::string> code{};

  // True exactly when a project id was resolved (and saved).
  [[nodiscard]] bool ok() const { return project_id.has_value(); }
};

// Failure code -> one sentence telling the reader what to do, in a fixed order.
extern const std::vector<std::pair<std::string_view, std::string_view>> _REMEDIES;

// The remedy of every code _REMEDIES does not name ("unreachable", "bad_response",
// an unknown server code, no code).
extern const std::string_view _REMEDY_UNREACHABLE;

// The remedy text for `code`; never fails.
[[nodiscard]] std::string remedy(const std::optional<std::string>& code);

// Asks the server for the project of `repo`'s origin remote (creating it when
// new) and saves its id, and the team id when one is known, in the local
// configuration.  `team_id` absent: the configuration's "team_id" is used.  Never
// throws.
[[nodiscard]] ProjectResolution
resolve_project_id(const paths::RepositoryHandle& repo,
                   const std::optional<std::string>& api_key,
                   const std::optional<std::string>& api_url,
                   std::optional<std::int64_t> team_id = std::nullopt);

// Files the pending attestation first (offline, never behind the network), then
// resolves only when the configuration names no project; the second element is
// absent when no resolve was attempted.  Failures of the pending processing and of
// the configuration read propagate.
[[nodiscard]] std::pair<log::AttestationResult, std::optional<ProjectResolution>>
resolve_if_unlinked(const paths::RepositoryHandle& repo,
                    const std::optional<std::string>& api_key,
                    const std::optional<std::string>& api_url,
                    std::optional<std::int64_t> team_id = std::nullopt);

// The project id the local configuration of `repo_root` names: its "project_id"
// (a positive integer or a text of its digits), or nullopt when absent, empty,
// unusable or unreadable.
[[nodiscard]] std::optional<std::string> linked_project_id(const std::filesystem::path& repo_root);
[[nodiscard]] std::optional<std::string> linked_project_id(const paths::RepositoryHandle& repo);

// The configuration's "project_id" as the user wrote it ('abc', 4.2, -3) when it is
// set but names no project that linked_project_id would give; nullopt when it is
// usable, absent, 0 or empty (not linked yet), or the configuration is unreadable.
[[nodiscard]] std::optional<std::string> unusable_project_id(const paths::RepositoryHandle& repo);

} // namespace kolvex::services::relaycore::sync
