#pragma once

// Records that survive `git commit --amend` and `git rebase`.  git's post-rewrite
// hook names each rewritten commit with the commit that replaced it; the new commit
// then gets the old one's record (its attestation, agent and summary as they were
// recorded) with an explicit link, "rewritten_from", to the old shas.  Nothing is
// attributed anew: what carried over is said to have carried over, and a squash
// keeps every record it absorbed.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::services::relaycore::capture {

// One rewritten commit: the old sha and the sha that replaced it.
struct RewritePair {
  std::string old_sha;
  std::string new_sha;
  bool operator==(const RewritePair&) const = default;
};

// The pairs of git's post-rewrite input ("<old> <new> [extra]" lines).  Lines that
// do not start with two full shas are left out.
[[nodiscard]] std::vector<RewritePair> parse_rewrite_pairs(std::string_view text);

// The pairs of the rewrite that has just happened in `repo_root`, for a hook that
// was not handed git's input (a manager that keeps stdin): a rebase's list of
// rewritten commits while it finishes, else HEAD's previous value when the reflog
// says HEAD was just amended.  Empty when neither applies.
[[nodiscard]] std::vector<RewritePair>
rewrite_pairs_from_repository(const std::filesystem::path& repo_root);

// What carrying did for one new commit.
struct CarryResult {
  std::string commit;                      // the new commit
  std::vector<std::string> rewritten_from; // old commits whose records it now holds
  bool written = false;                    // its record was written or rewritten
  std::string reason;                      // why not, when not
};

// Carries the records of the old commits of `pairs` to their new commits in
// `repo_root`'s log, one record per new commit, upgrading a record the new commit
// already has through the replace path.  Precedence of what the record says: the
// new commit's own attestation, else the first attested old record, else the new
// commit's own record, else the first old one; every other old record is kept under
// "absorbed_records".  An old commit the log has no line for is carried from its
// git note under refs/notes/kolvex when it has one.  Running it twice changes
// nothing.  Errors of the log writer propagate.
std::vector<CarryResult> carry_rewritten_records(const std::filesystem::path& repo_root,
                                                 const std::vector<RewritePair>& pairs);

} // namespace kolvex::services::relaycore::capture
