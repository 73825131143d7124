#pragma once

// One git question at a time, asked in an explicit repository.  Nothing here
// raises: a git that is missing, slow or refusing yields an empty answer, and every
// caller treats an empty answer as git having none.

#include "core/process.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::services::relaycore::log {

// How long one git question may take before the child (and its process group) is
// killed and the answer is "".
inline constexpr int GIT_TIMEOUT_SECONDS = 10;

// The pattern of a full commit sha: 40 lower-case hex digits (SHA-1) or 64
// (SHA-256).  The system calls it _GIT_HASH_RE; a leading underscore before a
// capital letter is reserved in C++, hence the name.
inline constexpr std::string_view GIT_HASH_RE = "^[0-9a-f]{40}([0-9a-f]{24})?$";

// Runs `git <args...>` (argv only, no shell) in `repo_root` with `input` on its
// standard input, in a process group of its own, under GIT_TIMEOUT_SECONDS, and
// returns the whole result: its bytes as git wrote them, for callers that hash them.
// Throws when git cannot start.
[[nodiscard]] core::process::Result _git_result(std::vector<std::string> args,
                                                const std::filesystem::path& repo_root,
                                                std::optional<std::string> input = std::nullopt);

// Runs `git <args...>` (argv only, no shell) in `cwd`, or in the process's working
// directory when `cwd` is absent, and returns its standard output decoded as UTF-8
// (U+FFFD for bad bytes) and trimmed.  Returns "" when git cannot start, runs past
// GIT_TIMEOUT_SECONDS or exits non-zero; standard error is always discarded.
[[nodiscard]] std::string _git(const std::vector<std::string>& args,
                               const std::optional<std::filesystem::path>& cwd = std::nullopt);

// `_git` with "rev-parse" put before `args`; returns the literal "unknown" where
// `_git` would return "", so the answer is never empty.
[[nodiscard]] std::string
_git_rev_parse(const std::vector<std::string>& args,
               const std::optional<std::filesystem::path>& cwd = std::nullopt);

// HEAD's commit (full sha) and the branch `rev-parse --abbrev-ref HEAD` names for
// it ("HEAD" when detached), asked of one git process.
struct HeadRef {
  std::string commit;
  std::string branch;
};

// `git rev-parse HEAD^{commit} --abbrev-ref HEAD` in `repo_root`: nullopt when HEAD
// names no commit (unborn, a broken repository, git missing).  Never throws.
[[nodiscard]] std::optional<HeadRef> _head_ref(const std::filesystem::path& repo_root);

// What the post-commit path asks git about the commit it records, in one process:
// the text `show -s --format=%aI%n%an%n%ae%n%s` gives for it (decoded and trimmed as
// `_git` returns it), and the subject of HEAD's newest reflog entry when that entry
// is this commit (a cherry-pick says so there).
struct CommitFacts {
  std::string metadata;
  std::optional<std::string> reflog_subject;
};

// The facts of `commit` (a full sha), asked of HEAD's reflog (`log -g -1`); a
// repository without that reflog, or whose newest entry is another commit, costs a
// second process (`show -s`) and has no reflog subject.  Never throws.
[[nodiscard]] CommitFacts _head_commit_facts(const std::filesystem::path& repo_root,
                                             const std::string& commit);

// The metadata text of CommitFacts for any commit, by `show -s`.  Never throws.
[[nodiscard]] std::string _commit_metadata(const std::filesystem::path& repo_root,
                                           const std::string& commit);

// True exactly when the whole of `value` matches GIT_HASH_RE.  Pure, never throws.
[[nodiscard]] bool _is_valid_commit_hash(std::string_view value) noexcept;

} // namespace kolvex::services::relaycore::log
