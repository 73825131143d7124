#pragma once

// Deciding, transcript by transcript, which sessions made or mentioned a set of
// commits; shared by every adapter's sessions_mentioning.
//
// A session "made" a commit when one of its shell calls ran `git commit` (the hook
// row's pattern, \bgit\b.*\bcommit\b) at most MADE_WINDOW_SECONDS before the
// commit's time and not after it, or when a shell result printed git's
// "[<branch> <short-sha>]" line for that commit.  Failing any maker, a session
// "mentions" a commit when the full sha appears in its transcript.

#include "contracts/agent_adapter.hpp"

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kolvex::agents {

// How long before its commit a `git commit` call may have run.
inline constexpr double MADE_WINDOW_SECONDS = 300.0;

// True when `command` runs git commit by the hook row's pattern.
[[nodiscard]] bool runs_git_commit(std::string_view command);

class CommitEvidence {
public:
  // What one transcript showed; fill it while reading, then hand it to add().
  class Findings {
  public:
    // Any bytes of the transcript: full shas found in them are mentions.
    void text(std::string_view bytes);
    // A shell call running `command`, started at `when` (epoch seconds) if known.
    void shell_command(std::string_view command, std::optional<double> when);
    // What a shell call printed.
    void shell_output(std::string_view output);

  private:
    friend class CommitEvidence;
    explicit Findings(const CommitEvidence& owner) : m_owner(&owner) {}
    const CommitEvidence* m_owner;
    std::set<std::size_t> m_made;
    std::set<std::size_t> m_mentioned;
  };

  // `shas` are the full shas asked about; `commit_times` their committer times.
  CommitEvidence(const std::vector<std::string>& shas, const contracts::CommitTimes& commit_times);
  CommitEvidence(const CommitEvidence&) = delete;
  CommitEvidence& operator=(const CommitEvidence&) = delete;

  // True when there is nothing to look for.
  [[nodiscard]] bool empty() const { return m_shas.empty(); }
  // A fresh, empty record for one transcript.
  [[nodiscard]] Findings findings() const { return Findings(*this); }
  // Credits `findings` to `session_id` (a session seen in several files counts once).
  void add(const std::string& session_id, const Findings& findings);
  // Per sha: the sessions that made it, else those that mention it; shas with
  // neither are left out.
  [[nodiscard]] contracts::SessionMatches result() const;

private:
  [[nodiscard]] std::optional<std::size_t> index_of(std::string_view sha) const;

  std::vector<std::string> m_shas;
  std::vector<std::optional<double>> m_times;
  std::unordered_map<std::string_view, std::size_t> m_index;
  std::vector<std::vector<std::string>> m_made_by;
  std::vector<std::vector<std::string>> m_mentioned_by;
};

} // namespace kolvex::agents
