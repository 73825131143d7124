#pragma once

// The developer identity git is configured with in a repository.

#include "core/value.hpp"

#include <filesystem>

namespace kolvex::services::shared {

// {"git_author_name": ..., "git_author_email": ...} from `git config user.name` and
// `git config user.email` run in `repo_root` (10 s limit each); a key whose value
// is unset or empty is left out, so the map is empty when neither is set.  Throws
// std::system_error when git cannot be started there.
[[nodiscard]] core::Map detect_git_author(const std::filesystem::path& repo_root);

} // namespace kolvex::services::shared
