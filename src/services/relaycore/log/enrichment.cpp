#include "services/relaycore/log/enrichment.hpp"

#include "agents/registry.hpp"
#include "core/logging.hpp"
#include "paths.hpp"
#include "services/git_author.hpp"
#include "services/relaycore/cache/rules_cache_state.hpp"

#include <exception>
#include <string>

namespace kolvex::services::relaycore::log {

namespace {

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.relaycore.log");
  return instance;
}

bool is_empty(const core::Map& map, std::string_view key)
{
  const auto* value = map.find(key);
  return value == nullptr || !core::truthy(*value);
}

// The session id an attestation names, as text; absent when it names none.
std::optional<std::string> session_of(const core::Map& parsed)
{
  const auto* value = parsed.find("agent_session_id");
  if (value == nullptr || !core::truthy(*value)) {
    return std::nullopt;
  }
  if (value->is_string()) {
    return value->as_string();
  }
  if (value->kind() == core::Value::Kind::integer) {
    return std::to_string(value->as_int());
  }
  if (value->kind() == core::Value::Kind::big_integer) {
    return value->as_bigint().digits;
  }
  return std::nullopt;
}

void enrich_rules(core::Map& parsed, const std::filesystem::path& repo_root)
{
  try {
    const auto state =
        cache::read_rules_cache_state(paths::DirectoryHandle::open(paths::platform_dir(repo_root)));
    const core::Value available = state.trustworthy() && state.count
                                      ? core::Value(static_cast<long long>(*state.count))
                                      : core::Value();
    auto* rules = parsed.find("rules");
    if (rules == nullptr || !rules->is_map()) {
      parsed.set("rules", core::Value(core::Map{}));
      rules = parsed.find("rules");
    }
    rules->as_map().set("available", available);
  } catch (const std::exception& e) {
    logger().debug_exception("rules.available enrichment skipped", e);
  }
}

void enrich_developer(core::Map& parsed, const std::filesystem::path& repo_root)
{
  if (!is_empty(parsed, "developer")) {
    return;
  }
  try {
    auto developer = services::shared::detect_git_author(repo_root);
    if (!developer.empty()) {
      parsed.set("developer", core::Value(std::move(developer)));
    }
  } catch (const std::exception& e) {
    logger().debug_exception("Developer identity detection failed", e);
  }
}

void enrich_agent_name(core::Map& parsed, const contracts::AgentAdapter& adapter)
{
  if (!is_empty(parsed, "agent")) {
    try {
      auto normalized = agents::normalize_agent_name(parsed.find("agent")->as_string());
      parsed.set("agent", core::Value(std::move(normalized)));
    } catch (const std::exception& e) {
      logger().debug_exception("Agent name normalization failed", e);
    }
    return;
  }
  const auto name = adapter.name();
  if (name.empty()) {
    return;
  }
  parsed.set("agent", core::Value(name));
  const auto provider = adapter.provider();
  if (provider && !provider->empty() && is_empty(parsed, "agent_provider")) {
    parsed.set("agent_provider", core::Value(*provider));
  }
}

void enrich_session(core::Map& parsed,
                    const contracts::AgentAdapter& adapter,
                    const std::filesystem::path& repo_root)
{
  if (!is_empty(parsed, "agent_session_id")) {
    return;
  }
  try {
    auto session_id = adapter.get_session_id(repo_root);
    if (session_id && !session_id->empty()) {
      parsed.set("agent_session_id", core::Value(std::move(*session_id)));
    }
  } catch (const std::exception& e) {
    logger().debug_exception("Per-adapter session id lookup failed", e);
  }
}

void enrich(core::Map& parsed, const std::filesystem::path& repo_root)
{
  enrich_rules(parsed, repo_root);
  enrich_developer(parsed, repo_root);

  const contracts::AgentAdapter* adapter = nullptr;
  try {
    adapter = agents::detect_active_agent();
  } catch (const std::exception& e) {
    logger().debug_exception("Agent detection failed", e);
    return;
  }
  if (adapter == nullptr) {
    return; // no harness: a declared agent name is left exactly as written
  }
  enrich_agent_name(parsed, *adapter);
  if (!is_empty(parsed, "telemetry") && !is_empty(parsed, "agent_session_id")) {
    return;
  }
  enrich_session(parsed, *adapter, repo_root);
  if (is_empty(parsed, "telemetry")) {
    auto telemetry = _adapter_telemetry(*adapter, repo_root, session_of(parsed), "adapter_direct");
    if (telemetry && !telemetry->empty()) {
      parsed.set("telemetry", core::Value(std::move(*telemetry)));
    }
  }
  if (is_empty(parsed, "telemetry")) {
    logger().warning("No telemetry source for " + adapter->name());
  }
}

} // namespace

void _enrich_attestation(core::Map& parsed, const std::filesystem::path& repo_root)
{
  try {
    enrich(parsed, repo_root);
  } catch (const std::exception& e) {
    logger().debug_exception("Attestation enrichment failed (best-effort)", e);
  } catch (...) {
    logger().debug("Attestation enrichment failed (best-effort)");
  }
}

std::optional<core::Map> _adapter_telemetry(const contracts::AgentAdapter& adapter,
                                            const std::filesystem::path& repo_root,
                                            const std::optional<std::string>& session_id,
                                            std::string_view source)
{
  try {
    std::optional<contracts::AgentTelemetry> answer;
    try {
      answer = adapter.get_telemetry_for_session(repo_root, session_id);
    } catch (const std::exception& e) {
      logger().debug_exception("Adapter telemetry failed for " + session_id.value_or("None"), e);
      return std::nullopt;
    }
    if (!answer) {
      return std::nullopt;
    }
    auto telemetry = answer->to_dict();
    telemetry.set("source", core::Value(source));
    telemetry.set("agent_runtime", core::Value(adapter.name()));
    return telemetry;
  } catch (const std::exception& e) {
    logger().debug_exception("Adapter telemetry failed for " + session_id.value_or("None"), e);
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

} // namespace kolvex::services::relaycore::log
