#pragma once

// The SHA-256 of a commit's own change, read the way the filing path matches a
// pending attestation's staged-diff hash to a commit: git's diff of the commit
// against its parent (against the empty tree for a root or merge commit), with CR LF
// read as LF, or byte for byte as `kolvex attest` hashes `git diff --staged`.  The
// filing path asks it of one commit at a time; `kolvex log` of a whole range at once.

#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kolvex::services::relaycore::log {

// The two readings of one change's diff.
struct ChangeHashes {
  std::string lf_only; // CR LF read as LF
  std::string raw;     // the bytes as git printed them
  // Whether `hash` names the change in either reading.
  [[nodiscard]] bool matches(std::string_view hash) const
  {
    return !hash.empty() && (hash == lf_only || hash == raw);
  }
};

// The hashes of `diff`, one change as git prints it.
[[nodiscard]] ChangeHashes change_hashes(std::string_view diff);

// The diff of `sha` against the empty tree, for a commit whose diff against its
// parent is blank (a root or merge commit).  `ok` is false when git failed or ran
// out of time (`timed_out`).
struct WholeTreeDiff {
  std::string diff;
  bool ok = false;
  bool timed_out = false;
};
[[nodiscard]] WholeTreeDiff whole_tree_diff(const std::filesystem::path& repo_root,
                                            const std::string& sha);

// The hashes of the changes of `commits` (full shas), asking git once for all of
// them (one `git diff-tree --stdin`), plus once per root or merge commit among
// them.  A commit git cannot read is absent.
[[nodiscard]] std::unordered_map<std::string, ChangeHashes>
commit_change_hashes(const std::filesystem::path& repo_root,
                     const std::vector<std::string>& commits);

// The patch ids (`git patch-id --stable`) of `commits`, by commit: one patch for
// the same change whatever its context lines and line numbers, so a commit that a
// rebase or cherry-pick moved keeps its parent's.  One `git diff-tree --stdin` read
// by one `git patch-id`; a commit without a diff (root, merge, empty) is absent.
[[nodiscard]] std::unordered_map<std::string, std::string>
commit_patch_ids(const std::filesystem::path& repo_root, const std::vector<std::string>& commits);

} // namespace kolvex::services::relaycore::log
