#pragma once

// What the engine asks of an agent harness (Claude Code, Codex, ...).  The engine
// never reads a harness's files itself: it asks the adapters of agents/registry.

#include "core/value.hpp"

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kolvex::contracts {

// The telemetry of one agent session: counts, names, ids and times only, never
// prompt text, tool output or file contents.  The engine reads "model" (text),
// "tokens" (a map of counts, empty when unknown) and "session_id".
class AgentTelemetry {
public:
  explicit AgentTelemetry(core::Map entries) : m_entries(std::move(entries)) {}
  // A fresh copy of the entries, in the adapter's key order.
  [[nodiscard]] core::Map to_dict() const { return m_entries; }

private:
  core::Map m_entries;
};

// Session ids per commit sha, as sessions_mentioning answers.
using SessionMatches = std::map<std::string, std::vector<std::string>>;

// Committer time (epoch seconds) per commit sha.
using CommitTimes = std::map<std::string, double>;

// How strongly a session's transcript ties it to a commit.  `proof`: the output of
// one of its shell calls names the commit (git's "[<branch> <short-sha>]" summary
// line, or the full sha printed by the call that committed).  `timing`: a
// `git commit` call whose result the transcript does not hold ran shortly before
// the commit; it counts only when no session at all has proof.
enum class ClaimKind { proof, timing };

// One session's claim on one commit.
struct SessionClaim {
  // "" for a harness that keeps no sessions: the claim names the harness alone.
  std::string session_id;
  ClaimKind kind = ClaimKind::timing;
  bool operator==(const SessionClaim&) const = default;
};

// The claims on each commit sha, as commit_claims answers.
using CommitClaims = std::map<std::string, std::vector<SessionClaim>>;

// Thrown by adapter operations that this build cannot perform yet; callers treat it
// as any other failure of the call.
class NotAvailableError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// One agent harness.  Every operation may throw; the engine's callers catch, log
// and carry on as if the answer were absent.  Adapters hold no mutable state, so
// one instance serves every thread.
class AgentAdapter {
public:
  virtual ~AgentAdapter();

  // The canonical agent name ("claude-code"), also written as "agent" on records.
  [[nodiscard]] virtual std::string name() const = 0;
  // The model provider ("anthropic"), or nullopt when the harness has none fixed.
  [[nodiscard]] virtual std::optional<std::string> provider() const = 0;
  // Whether this process runs under this harness (from its environment markers).
  [[nodiscard]] virtual bool is_active() const = 0;
  // The session id this harness's environment marker carries (CLAUDE_CODE_SESSION_ID,
  // CODEX_THREAD_ID), or nullopt for a bare marker ("CLAUDECODE=1") or none.  A
  // marker that names its session outranks a bare one in detect_active_agent.
  [[nodiscard]] virtual std::optional<std::string> marker_session_id() const;

  // The harness's current session id for `repo_root`, or nullopt.
  [[nodiscard]] virtual std::optional<std::string>
  get_session_id(const std::filesystem::path& repo_root) const = 0;

  // The telemetry of session `session_id` (nullopt: the current session of
  // `repo_root`), or nullopt when this adapter's store does not know the session.
  [[nodiscard]] virtual std::optional<AgentTelemetry>
  get_telemetry_for_session(const std::filesystem::path& repo_root,
                            const std::optional<std::string>& session_id) const = 0;

  // Every claim this adapter's sessions have on each of `shas` (full, newest first)
  // in `repo_root`, with its kind (see ClaimKind), so that a proof found by one
  // harness outranks a timing claim found by another.  Transcripts last written
  // before `since` are not opened.  Shas without claims may be missing from the
  // answer.  The default, for harnesses whose sessions cannot be read: none.
  [[nodiscard]] virtual CommitClaims commit_claims(const std::filesystem::path& repo_root,
                                                   const std::vector<std::string>& shas,
                                                   std::optional<double> since,
                                                   const CommitTimes& commit_times) const;

  // commit_claims' answer as session ids per sha, each id once; a claim without a
  // session adds none, and a sha without a session is left out.
  [[nodiscard]] SessionMatches sessions_mentioning(const std::filesystem::path& repo_root,
                                                   const std::vector<std::string>& shas,
                                                   std::optional<double> since,
                                                   const CommitTimes& commit_times) const;

  // Whether commit `sha` (full) of `repo_root` carries this harness's own mark (aider
  // writes " (aider)" into the author or committer name), which proves the harness
  // made it without naming a session.  The default: false.
  [[nodiscard]] virtual bool marks_commit(const std::filesystem::path& repo_root,
                                          const std::string& sha) const;

  // Whether the npx skill install reaches this agent in `repo_root`.  The default,
  // for adapters that know nothing of skills, throws NotAvailableError.
  [[nodiscard]] virtual bool npx_covers_skills(const std::filesystem::path& repo_root) const;

  // Replaces this agent's skills in `repo_root` with `skills` (skill maps).  The
  // default, for adapters that know nothing of skills, throws NotAvailableError.
  virtual void write_skills(const std::filesystem::path& repo_root, const core::List& skills) const;
};

} // namespace kolvex::contracts
