#include "agents/registry.hpp"

#include "agents/aider.hpp"
#include "agents/claude_code.hpp"
#include "agents/codex.hpp"
#include "agents/cursor.hpp"
#include "agents/gemini_cli.hpp"
#include "agents/windsurf.hpp"
#include "core/text.hpp"

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>

namespace kolvex::agents {

namespace {

// Every harness kolvex knows, in the order detection and listings use.  A new
// harness is its own module under agents/ and one line here.
const std::vector<const HarnessAdapter*>& builtin_harnesses()
{
  static const std::vector<const HarnessAdapter*> all{
      &claude_code_adapter(),
      &codex_adapter(),
      &gemini_cli_adapter(),
      &cursor_adapter(),
      &windsurf_adapter(),
      &aider_adapter(),
  };
  return all;
}

const std::vector<const AgentAdapter*>& builtin_adapters()
{
  static const std::vector<const AgentAdapter*> all(builtin_harnesses().begin(),
                                                    builtin_harnesses().end());
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
  for (const auto* adapter : builtin_harnesses()) {
    const Harness& harness = adapter->harness();
    if (key == *harness.name || std::find(harness.aliases->begin(), harness.aliases->end(), key) !=
                                    harness.aliases->end()) {
      return std::string(*harness.name);
    }
  }
  return lowered;
}

std::vector<const Harness*> harnesses()
{
  std::vector<const Harness*> all;
  for (const auto* adapter : builtin_harnesses()) {
    all.push_back(&adapter->harness());
  }
  return all;
}

const Harness* find_harness(std::string_view name)
{
  const std::string wanted = normalize_agent_name(name);
  for (const auto* adapter : builtin_harnesses()) {
    if (*adapter->harness().name == wanted) {
      return &adapter->harness();
    }
  }
  return nullptr;
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
