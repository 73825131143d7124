#pragma once

// The one agent adapter of the tests: every answer, every failure and every
// question asked is the test's to set and read.  Unset, it is an idle harness with
// no session, no telemetry, no claims and no skills of its own.

#include "contracts/agent_adapter.hpp"

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kolvex::testing {

class FakeAdapter : public contracts::AgentAdapter {
public:
  explicit FakeAdapter(std::string name,
                       std::optional<std::string> provider = std::nullopt,
                       bool active = false)
      : active(active), m_name(std::move(name)), m_provider(std::move(provider))
  {
  }

  // What is_active answers.
  bool active;

  // What get_session_id answers; with `session_throws` it throws instead.
  std::optional<std::string> current_session;
  bool session_throws = false;
  // Telemetry by session id ("" answers a lookup without an id); a session not
  // listed gets `telemetry` (nullopt: none).  With `telemetry_throws` it throws.
  std::map<std::string, core::Map> sessions;
  std::optional<core::Map> telemetry;
  bool telemetry_throws = false;
  // What commit_claims answers; with `claims_throw` it throws.
  contracts::CommitClaims claims;
  bool claims_throw = false;
  // What npx_covers_skills answers; with `write_fails` write_skills throws.
  bool npx_covered = false;
  bool write_fails = false;

  // Every telemetry lookup's session id ("" for none), and the last one as given.
  mutable std::vector<std::string> asked;
  mutable std::optional<std::string> asked_session;
  mutable int session_lookups = 0;
  mutable int telemetry_lookups = 0;
  // The last commit_claims question, and how often it was asked.
  mutable int claim_calls = 0;
  mutable std::vector<std::string> asked_shas;
  mutable std::optional<double> asked_since;
  mutable contracts::CommitTimes asked_times;
  // The skills last written, as "<slug>/<content>"; nullopt until written.
  mutable std::optional<std::vector<std::string>> written;

  std::string name() const override { return m_name; }
  std::optional<std::string> provider() const override { return m_provider; }
  bool is_active() const override { return active; }

  std::optional<std::string> get_session_id(const std::filesystem::path&) const override
  {
    ++session_lookups;
    if (session_throws) {
      throw std::runtime_error("store unreadable");
    }
    return current_session;
  }

  std::optional<contracts::AgentTelemetry>
  get_telemetry_for_session(const std::filesystem::path&,
                            const std::optional<std::string>& id) const override
  {
    ++telemetry_lookups;
    asked.push_back(id.value_or(""));
    asked_session = id;
    if (telemetry_throws) {
      throw std::runtime_error("transcript vanished");
    }
    if (const auto found = sessions.find(id.value_or("")); found != sessions.end()) {
      return contracts::AgentTelemetry(found->second);
    }
    if (telemetry) {
      return contracts::AgentTelemetry(*telemetry);
    }
    return std::nullopt;
  }

  contracts::CommitClaims commit_claims(const std::filesystem::path&,
                                        const std::vector<std::string>& shas,
                                        std::optional<double> since,
                                        const contracts::CommitTimes& commit_times) const override
  {
    ++claim_calls;
    asked_shas = shas;
    asked_since = since;
    asked_times = commit_times;
    if (claims_throw) {
      throw std::runtime_error("transcripts unreadable");
    }
    return claims;
  }

  bool npx_covers_skills(const std::filesystem::path&) const override { return npx_covered; }

  void write_skills(const std::filesystem::path&, const core::List& skills) const override
  {
    if (write_fails) {
      throw std::runtime_error("cannot write");
    }
    written = std::vector<std::string>{};
    for (const core::Value& skill : skills) {
      written->push_back(skill.get_string("slug").value_or("?") + "/" +
                         skill.get_string("content").value_or(""));
    }
  }

private:
  std::string m_name;
  std::optional<std::string> m_provider;
};

// `matches` as timing claims, the weakest kind: a harness that only saw a
// `git commit` run about when the commit was made.
inline contracts::CommitClaims timing_claims(const contracts::SessionMatches& matches)
{
  contracts::CommitClaims claims;
  for (const auto& [sha, sessions] : matches) {
    for (const auto& session : sessions) {
      claims[sha].push_back({session, contracts::ClaimKind::timing});
    }
  }
  return claims;
}

} // namespace kolvex::testing
