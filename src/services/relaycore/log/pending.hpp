#pragma once

// The pending attestation, .kolvex/.commit-attestation.yaml, filed after the commit:
// read, enriched with what only this machine knows, filed under the commit whose
// diff it declares (else the commit the caller names, else HEAD), then deleted.

#include "core/value.hpp"
#include "repository_handle.hpp"
#include "services/relaycore/capture/commit_record.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::services::relaycore::log {

// How many commits back, newest first, a declared diff hash is looked for.
inline constexpr int DIFF_HASH_WINDOW = 20;

// git's well-known ids of the empty tree, which root and merge commits are diffed
// against (SHA-1 and SHA-256 repositories).
inline constexpr std::string_view EMPTY_TREE_SHA1 = "4b825dc642cb6eb9a060e54bf8d69288fbee4904";
inline constexpr std::string_view EMPTY_TREE_SHA256 =
    "6ef19b41225c5369f1c104d45d8d85efa9b057b53b14b4b9b939dd74decc5321";

// What processing the pending file did.  `found`: a pending file existed;
// `matched_commit`: the commit it was filed under when known before filing (absent
// when filed under HEAD or not filed); `error`: the text of the error that stopped
// it (the file is then kept); `change_spec_slugs`: the change specs it names;
// `rejected`: why the file could not be used (it was set aside as the rejected
// attestation and nothing was filed).
struct AttestationResult {
  bool found = false;
  std::optional<std::string> matched_commit{};
  std::optional<std::string> error{};
  std::vector<std::string> change_spec_slugs{};
  std::optional<std::string> rejected{};
  // It matches no recent commit but is exactly what is staged now: it waits, as it
  // was, for the commit being prepared (only when the caller named no commit).
  bool awaiting_commit = false;
};

// The defaulted parameters of process_pending_attestation, by their names.
struct PendingOptions {
  // The commit just captured; used when no recent commit matches the diff hash.
  std::optional<std::string> commit_override{};
  // Rewrite the commit's existing log line in place instead of appending.  Filing
  // does so for any commit the log already names (one line per commit), so this
  // only says that the caller expects such a line.
  bool replace_existing = false;
};

// Files the pending attestation of `repo_root`, if there is one, merging a legacy
// .kolvexlog into the log first (a legacy log that cannot be merged is warned about
// and kept).  Read and write failures become `error` with the pending file kept.
// A file that cannot be an attestation (not UTF-8, not YAML, not a mapping, a field
// of the wrong kind, larger than 4 MiB) is moved to rejected_attestation with a
// warning and `rejected` says why; its commit is left to its deterministic record.
// The log lock is held only to file it: the git searches and the enrichment come
// first.  Without `commit_override` (a sync, not a commit), an attestation whose
// hash matches no recent commit but equals the staged diff's hash now is left
// pending, untouched, with `awaiting_commit` set.
[[nodiscard]] AttestationResult process_pending_attestation(const paths::RepositoryHandle& repo,
                                                            const PendingOptions& options = {});
// The same for a caller that holds no handle: opens one on `repo_root` first.
[[nodiscard]] AttestationResult process_pending_attestation(const std::filesystem::path& repo_root,
                                                            const PendingOptions& options = {});

// Files the pending attestation for `commit` (any commit-ish), rewriting that
// commit's log line in place so that it is sent again.  Refusals and errors come
// back in the result's `reason`.
[[nodiscard]] capture::BackfillResult
attach_pending_attestation(const std::filesystem::path& repo_root, const std::string& commit);

// True when `repo` holds a pending attestation to file.  One that is a link
// or a special file counts as none: it is refused (and reported), never read.  A
// directory in its place counts, and fails to read.
[[nodiscard]] bool _pending_attestation_exists(const paths::RepositoryHandle& repo);

// The attestation map in the pending file's text `content`, without its "---"
// markers.  Malformed YAML, an empty document or one that is not a mapping give an
// empty map.
[[nodiscard]] core::Map _parse_attestation_yaml(std::string_view content);

// The newest of the last `max_commits` commits of `repo_root` whose diff (against
// its parent, or the empty tree for a root or merge commit) has the SHA-256
// `diff_hash`, with CR LF read as LF (the raw bytes match too), or nullopt.  Each
// git call may take GIT_TIMEOUT_SECONDS; one that runs out ends the search.
[[nodiscard]] std::optional<std::string>
_find_commit_by_diff_hash(const std::filesystem::path& repo_root,
                          std::string_view diff_hash,
                          int max_commits = DIFF_HASH_WINDOW);

} // namespace kolvex::services::relaycore::log
