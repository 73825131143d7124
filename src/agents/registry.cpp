#include "agents/registry.hpp"

#include "agents/aider.hpp"
#include "agents/claude_code.hpp"
#include "agents/codex.hpp"
#include "agents/gemini_cli.hpp"
#include "agents/simple_adapters.hpp"
#include "core/text.hpp"

#include <atomic>
#include <string>
#include <utility>

namespace kolvex::agents {

namespace {

const std::vector<const AgentAdapter*>& builtin_adapters()
{
  static const ClaudeCodeAdapter claude_code;
  static const CodexAdapter codex;
  static const GeminiCliAdapter gemini_cli;
  static const CursorAdapter cursor;
  static const WindsurfAdapter windsurf;
  static const AiderAdapter aider;
  static const std::vector<const AgentAdapter*> all{
      &claude_code, &codex, &gemini_cli, &cursor, &windsurf, &aider};
  return all;
}

std::atomic<const std::vector<const AgentAdapter*>*> g_override{nullptr};

const std::vector<const AgentAdapter*>& current_adapters()
{
  if (const auto* scoped = g_override.load(std::memory_order_acquire)) {
    return *scoped;
  }
  return builtin_adapters();
}

// Aliases keyed by the name with '_' and runs of blanks turned into '-'.
struct Alias {
  std::string_view alias;
  std::string_view canonical;
};
constexpr Alias k_aliases[] = {
    {"claude", "claude-code"},
    {"claude-code", "claude-code"},
    {"claudecode", "claude-code"},
    {"claude-code-cli", "claude-code"},
    {"codex", "codex"},
    {"codex-cli", "codex"},
    {"openai-codex", "codex"},
    {"gemini", "gemini-cli"},
    {"gemini-cli", "gemini-cli"},
    {"geminicli", "gemini-cli"},
    {"cursor", "cursor"},
    {"cursor-agent", "cursor"},
    {"cursor-cli", "cursor"},
    {"windsurf", "windsurf"},
    {"aider", "aider"},
    {"aider-chat", "aider"},
};

std::string alias_key(std::string_view lowered)
{
  std::string key;
  bool in_gap = false;
  for (char c : lowered) {
    if (c == '_' || c == ' ' || c == '\t' || c == '-') {
      in_gap = true;
      continue;
    }
    if (in_gap && !key.empty()) {
      key += '-';
    }
    in_gap = false;
    key += c;
  }
  return key;
}

} // namespace

std::vector<const AgentAdapter*> iter_adapters()
{
  return current_adapters();
}

const AgentAdapter* detect_active_agent()
{
  // A marker that names its session outranks a bare one whatever the order: a
  // Codex thread started from a Claude Code terminal inherits CLAUDECODE=1, but
  // only CODEX_THREAD_ID says who is running now.
  const auto& adapters = current_adapters();
  for (const auto* adapter : adapters) {
    if (adapter->is_active() && adapter->marker_session_id()) {
      return adapter;
    }
  }
  for (const auto* adapter : adapters) {
    if (adapter->is_active()) {
      return adapter;
    }
  }
  return nullptr;
}

const AgentAdapter* get_adapter_by_name(std::string_view name)
{
  const auto wanted = normalize_agent_name(name);
  for (const auto* adapter : current_adapters()) {
    if (adapter->name() == wanted) {
      return adapter;
    }
  }
  return nullptr;
}

std::string normalize_agent_name(std::string_view name)
{
  auto lowered = core::text::lower(core::text::trim(name));
  const auto key = alias_key(lowered);
  for (const auto& [alias, canonical] : k_aliases) {
    if (key == alias) {
      return std::string(canonical);
    }
  }
  return lowered;
}

ScopedAdapters::ScopedAdapters(std::vector<const AgentAdapter*> adapters)
    : m_adapters(std::move(adapters)),
      m_previous(g_override.exchange(&m_adapters, std::memory_order_acq_rel))
{
}

ScopedAdapters::~ScopedAdapters()
{
  g_override.store(m_previous, std::memory_order_release);
}

} // namespace kolvex::agents
