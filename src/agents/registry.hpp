#pragma once

// The set of agent adapters the engine knows, in a fixed order, their harnesses'
// descriptors, and the one place agent names are made canonical.

#include "agents/harness.hpp"
#include "contracts/agent_adapter.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace kolvex::agents {

using contracts::AgentAdapter;

// Every adapter, in the fixed order claude-code, codex, gemini-cli, cursor,
// windsurf, aider (or the set a ScopedAdapters put in place).
[[nodiscard]] std::vector<const AgentAdapter*> iter_adapters();

// The adapter of the harness running this process, or nullptr: the first in
// registry order whose marker names a session (CLAUDE_CODE_SESSION_ID,
// CODEX_THREAD_ID), else the first with a bare marker (CLAUDECODE=1, GEMINI_CLI=1,
// CURSOR_AGENT=1).
[[nodiscard]] const AgentAdapter* detect_active_agent();

// The adapter whose name is `name` once normalised, or nullptr when unknown.
[[nodiscard]] const AgentAdapter* get_adapter_by_name(std::string_view name);

// The descriptor of every harness kolvex knows, in registry order (whatever a
// ScopedAdapters put in place: descriptors describe the real harnesses).
[[nodiscard]] std::vector<const Harness*> harnesses();

// The descriptor of the harness named `name` once normalised, or nullptr.
[[nodiscard]] const Harness* find_harness(std::string_view name);

// `name` trimmed and lower-cased, with known aliases mapped to the canonical name
// ("Claude Code", "claude_code", "claude" -> "claude-code"; "gemini" -> "gemini-cli";
// "cursor-agent" -> "cursor"): each harness's name and aliases.  Unknown names are only trimmed and
// lower-cased.
[[nodiscard]] std::string normalize_agent_name(std::string_view name);

// Test override: while it lives, the registry holds exactly `adapters` (not owned;
// the caller keeps them alive).  Scopes nest; the process-wide set is restored on
// destruction.
class ScopedAdapters {
public:
  explicit ScopedAdapters(std::vector<const AgentAdapter*> adapters);
  ScopedAdapters(const ScopedAdapters&) = delete;
  ScopedAdapters& operator=(const ScopedAdapters&) = delete;
  ~ScopedAdapters();

private:
  std::vector<const AgentAdapter*> m_adapters;
  const std::vector<const AgentAdapter*>* m_previous;
};

} // namespace kolvex::agents
