#pragma once

// Operations and constants that the command front end, the tool server and the
// engine share: where the repository is, what is staged, and what makes a good
// attestation.

#include "core/value.hpp"

#include <array>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kolvex::services::shared {

// ---- Vocabulary of attestations ------------------------------------------------

// Architecture-change primitives: the top-level keys "--arch-changes" may use, in
// the order they are written under "changes".
inline constexpr std::array<std::string_view, 5> V2_PRIMITIVES{
    "architecture", "data_model", "api", "dependencies", "configuration"};

// Where a request came from (provenance.type).
inline constexpr std::array<std::string_view, 4> VALID_PROVENANCE_TYPES{
    "spec", "ticket", "bug-fix", "ad-hoc"};

// What kind of change a commit is (task_type).
inline constexpr std::array<std::string_view, 6> VALID_TASK_TYPES{
    "feature", "bug-fix", "refactor", "docs", "test", "chore"};

// The values an architecture element's "change" may take.
inline constexpr std::array<std::string_view, 3> ELEMENT_CHANGE_KINDS{
    "added", "modified", "removed"};

// ---- Repository ----------------------------------------------------------------

// The current directory (or the one asked about) is not inside a git work tree.
// The front end reports what() as one error line and exits with status 1.
class NotARepository : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A git command whose answer we cannot do without failed; what() names the command
// and git's own first line of complaint.
class GitCommandError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The top of the work tree containing `cwd` (the process's working directory when
// absent), as git reports it.  Throws NotARepository outside a work tree (inside a
// bare repository or .git too) and std::system_error when git cannot be started.
[[nodiscard]] std::filesystem::path
get_repo_root(const std::optional<std::filesystem::path>& cwd = std::nullopt);

// Lower-case hex SHA-256 of the bytes `git diff --staged` prints at the root of the
// repository containing `cwd`: what `git diff --staged | shasum -a 256` prints
// there.  With nothing staged, the hash of empty input.  Throws NotARepository,
// GitCommandError when git diff fails, std::system_error when git cannot start.
[[nodiscard]] std::string
get_staged_diff_hash(const std::optional<std::filesystem::path>& cwd = std::nullopt);

// ---- Attestation fields ---------------------------------------------------------

// Checks an assembled attestation `attestation` (a map; anything else is one error)
// and returns (errors, warnings), each in field order and each message naming the
// field first.  Errors stop `attest`; warnings are advice.  Never throws on odd
// shapes: every shape becomes a message.
[[nodiscard]] std::pair<std::vector<std::string>, std::vector<std::string>>
validate_attestation_fields(const core::Value& attestation);

} // namespace kolvex::services::shared
