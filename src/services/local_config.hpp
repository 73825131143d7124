#pragma once

// The repository's local configuration and the other small files `kolvex setup`
// owns: .kolvex/.platform/config.yaml, the .gitignore entries, and the pending
// file's YAML document markers.  Part of services.shared.

#include "core/value.hpp"
#include "repository_handle.hpp"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::services::shared {

// A local configuration that exists but cannot be read as a YAML (or, for the
// legacy file, JSON) map.  Saving over it would lose the user's settings, so
// callers that write must stop; readers on hook paths treat it as absent.
class ConfigError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Lines `kolvex setup` adds to the repository's .gitignore: what kolvex writes for
// itself and the pending attestation with every file written beside it (the
// rejected one, a replace's temporary file), none of which belongs in history.
inline const std::vector<std::string> KOLVEX_GITIGNORE_ENTRIES = {
    ".kolvex/.platform/",
    ".kolvex/.commit-attestation.yaml*",
};

// True when `repo_root` has been set up: the local configuration, or one of the
// legacy .kolvex/config.yaml and .kolvex/config.json, exists as a real file reached
// through real directories (a link there is refused and does not count).
// The RepositoryHandle forms read and write through the directories the handle
// holds; the path forms walk from the records root by name each time.
[[nodiscard]] bool local_config_exists(const std::filesystem::path& repo_root);
[[nodiscard]] bool local_config_exists(const paths::RepositoryHandle& repo);

// The local configuration as a map; the legacy files are read when the current one
// is missing; no file at all is an empty map.  Throws ConfigError when the file is
// unreadable, malformed or not a map.
[[nodiscard]] core::Map load_local_config(const std::filesystem::path& repo_root);
[[nodiscard]] core::Map load_local_config(const paths::RepositoryHandle& repo);

// The agent names `config` lists under "agents": a list of names (other items
// skipped), or a single name; empty when there is no such entry.
[[nodiscard]] std::vector<std::string> configured_agents(const core::Map& config);

// Writes `config` to .kolvex/.platform/config.yaml by atomic replace (directories
// created).  Throws std::system_error on failure (core::fs::UnsafePathError for a
// link on the way); the old file is then untouched.
void save_local_config(const std::filesystem::path& repo_root, const core::Map& config);
void save_local_config(const paths::RepositoryHandle& repo, const core::Map& config);

// Adds the entries of KOLVEX_GITIGNORE_ENTRIES that `repo_root`/.gitignore lacks
// (compared line by line, ignoring surrounding blanks); returns those added.  A
// .gitignore that is a link is refused (core::fs::UnsafePathError).
std::vector<std::string> ensure_gitignore(const std::filesystem::path& repo_root);

// `content` without a leading "---" line and a trailing "---" line (each only when
// present), ready for a YAML parser.
[[nodiscard]] std::string strip_yaml_delimiters(std::string_view content);

} // namespace kolvex::services::shared
