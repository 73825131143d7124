#pragma once

// Which sessions a transcript ties to which commits; shared by every adapter.
//
// A record that names the wrong session is worse than one that says "unknown": its
// telemetry lands on the wrong agent.  So a session claims a commit only on proof,
// and what a transcript shows is gathered first, independent of the commits asked
// about, so that one reading of a transcript serves every later question.
//
// Proof: the output of one of the session's shell calls names the commit, either
// by git's summary line "[<branch> <short-sha>] subject" (branch "main",
// "feature/x", "detached HEAD", "main (root-commit)"...; the short sha a prefix of
// at least MIN_SHORT_SHA characters that fits exactly one of the commits asked
// about), or by the full sha printed by the call that committed.
//
// Timing: a `git commit` call whose result the transcript does not hold (the
// session died or was cut off while committing) ran at most MADE_WINDOW_SECONDS
// before a commit.  A call makes one commit, so it claims only the earliest commit
// of its window (of several in that second, the oldest in git's order).  A call whose result the
// transcript holds never counts by timing: its output either named its commit (proof), showed a
// failure ("nothing to commit"), or named another commit.  Timing claims count only when no session
// has proof (the caller compares across harnesses).
//
// A full sha merely mentioned (a `git log` or `git show` of someone else's commit,
// a pasted review request) is no claim at all.

#include "contracts/agent_adapter.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kolvex::agents {

// How long before its commit a `git commit` call may have run.
inline constexpr double MADE_WINDOW_SECONDS = 300.0;

// The shortest abbreviation accepted from a summary line: git's default.
inline constexpr std::size_t MIN_SHORT_SHA = 7;

// True when `command` runs git commit by the hook row's pattern.
[[nodiscard]] bool runs_git_commit(std::string_view command);

// The commit names `output` holds: the abbreviations of git's summary lines and,
// when `full_shas`, every whole run of 40 or 64 lower-case hex digits.
[[nodiscard]] std::vector<std::string> commit_names_in(std::string_view output, bool full_shas);

// One shell call that matters for attribution: it ran `git commit`, or its output
// named a commit.
struct ShellCallFacts {
  // When the call was made (epoch seconds), if the transcript says.
  std::optional<double> when;
  // The session the transcript's line names for the call ("" when none): a resumed
  // session's file may repeat its parent's calls under the parent's id.
  std::string session_id;
  bool runs_commit = false;
  // The transcript holds the call's result (success or failure).
  bool answered = false;
  // What the result names (see commit_names_in), in order.
  std::vector<std::string> names;
};

// What one transcript shows about commits, whichever commits are asked about later.
struct CommitFacts {
  std::vector<ShellCallFacts> calls;
};

// Collects CommitFacts while a transcript is read: calls first, then their results,
// matched by the harness's call id.
class CommitFactsBuilder {
public:
  // A shell call `id` running `command` at `when` in session `session_id` ("" for
  // the transcript's own).  Returns its index for output_at.
  std::size_t call(std::string_view id,
                   std::string_view command,
                   std::optional<double> when,
                   std::string_view session_id = {});
  // A result (or one part of it) of the call `id`; results of unknown calls are
  // ignored.
  void output(std::string_view id, std::string_view text);
  // A result of the call at `index`.
  void output_at(std::size_t index, std::string_view text);
  // Marks the call at `index` answered although it printed nothing readable.
  void answered_at(std::size_t index);
  // The facts, keeping only the calls that matter.
  [[nodiscard]] CommitFacts take();

private:
  std::vector<ShellCallFacts> m_calls;
  std::unordered_map<std::string, std::size_t> m_by_id;
};

// Matches the facts of many transcripts against the commits asked about.
class CommitEvidence {
public:
  // `shas` are the full shas asked about, newest first as git lists them;
  // `commit_times` their committer times.
  CommitEvidence(const std::vector<std::string>& shas, const contracts::CommitTimes& commit_times);
  CommitEvidence(const CommitEvidence&) = delete;
  CommitEvidence& operator=(const CommitEvidence&) = delete;

  // True when there is nothing to look for.
  [[nodiscard]] bool empty() const { return m_shas.empty(); }
  // Credits `facts` to `session_id` (or to the session a call names); a session
  // seen in several files counts once.
  void add(const std::string& session_id, const CommitFacts& facts);
  // Per sha: the sessions with proof, else those with a timing claim; shas with
  // neither are left out.
  [[nodiscard]] contracts::CommitClaims claims() const;

private:
  [[nodiscard]] std::optional<std::size_t> named_index(std::string_view name) const;

  std::vector<std::string> m_shas;
  std::vector<std::optional<double>> m_times;
  std::unordered_map<std::string_view, std::size_t> m_index;
  std::vector<std::vector<std::string>> m_proven_by;
  std::vector<std::vector<std::string>> m_timed_by;
};

// True when `facts` hold a `git commit` call made at or after `since` whose result
// is not in the transcript yet: the commit a post-commit hook is running inside.
[[nodiscard]] bool commit_pending(const CommitFacts& facts, double since);

} // namespace kolvex::agents
