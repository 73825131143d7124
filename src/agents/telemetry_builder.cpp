#include "agents/telemetry_builder.hpp"

#include "agents/transcript_io.hpp"

#include <algorithm>

namespace kolvex::agents {

void TelemetryBuilder::model(std::string_view model, bool sets_current)
{
  if (model.empty()) {
    return;
  }
  if (std::find(m_models.begin(), m_models.end(), model) == m_models.end()) {
    m_models.emplace_back(model);
  }
  (sets_current ? m_current : m_fallback).assign(model);
}

void TelemetryBuilder::timestamp(std::string_view iso)
{
  if (iso.empty()) {
    return;
  }
  const auto when = parse_timestamp(iso);
  if (!when) {
    return;
  }
  if (!m_first || *when < *m_first) {
    m_first = when;
  }
  if (!m_last || *when > *m_last) {
    m_last = when;
  }
}

void TelemetryBuilder::merge(const TelemetryBuilder& part, bool sets_current)
{
  for (const auto& model : part.m_models) {
    if (std::find(m_models.begin(), m_models.end(), model) == m_models.end()) {
      m_models.push_back(model);
    }
  }
  const auto& current = part.m_current.empty() ? part.m_fallback : part.m_current;
  if (!current.empty()) {
    (sets_current && !part.m_current.empty() ? m_current : m_fallback) = current;
  }
  if (part.m_first && (!m_first || *part.m_first < *m_first)) {
    m_first = part.m_first;
  }
  if (part.m_last && (!m_last || *part.m_last > *m_last)) {
    m_last = part.m_last;
  }
  m_messages += part.m_messages;
  m_tool_calls += part.m_tool_calls;
}

core::Map TelemetryBuilder::build(std::string_view session_id, core::Map tokens) const
{
  core::List models;
  for (const auto& model : m_models) {
    models.emplace_back(model);
  }
  const auto& current = m_current.empty() ? m_fallback : m_current;
  core::Map map;
  map.set("session_id", core::Value(session_id));
  map.set("model", current.empty() ? core::Value() : core::Value(current));
  map.set("models", core::Value(std::move(models)));
  map.set("tokens", core::Value(std::move(tokens)));
  map.set("messages", core::Value(static_cast<long long>(m_messages)));
  map.set("tool_calls", core::Value(static_cast<long long>(m_tool_calls)));
  map.set("started_at", m_first ? core::Value(format_timestamp(*m_first)) : core::Value());
  map.set("ended_at", m_last ? core::Value(format_timestamp(*m_last)) : core::Value());
  return map;
}

} // namespace kolvex::agents
