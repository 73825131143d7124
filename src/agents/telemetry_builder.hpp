#pragma once

// The parts of a telemetry map every adapter fills the same way: models in order
// of first use, the session's time span and the common key order.

#include "core/value.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::agents {

class TelemetryBuilder {
public:
  // Records a use of `model`; "" is ignored.  `sets_current` false keeps it out of
  // the "model" entry (still listed under "models"), e.g. for sub-agents.
  void model(std::string_view model, bool sets_current = true);
  // Widens the session's span by an ISO 8601 time; unparsable text is ignored.
  void timestamp(std::string_view iso);
  // Counts one message / tool call.
  void count_message(std::int64_t n = 1) { m_messages += n; }
  void count_tool_call(std::int64_t n = 1) { m_tool_calls += n; }
  // Adds what `part` (one file's builder) recorded, as if its calls had been made
  // here: its models after ours, its span, its counts.  Its current model becomes
  // ours when `sets_current`, else it only stands in when no file sets one.
  void merge(const TelemetryBuilder& part, bool sets_current = true);

  // The map, keys in this order: session_id, model (null when none), models,
  // tokens, messages, tool_calls, started_at, ended_at (null when unknown).
  [[nodiscard]] core::Map build(std::string_view session_id, core::Map tokens) const;

private:
  std::vector<std::string> m_models;
  std::string m_current;
  std::string m_fallback;
  std::optional<double> m_first;
  std::optional<double> m_last;
  std::int64_t m_messages = 0;
  std::int64_t m_tool_calls = 0;
};

} // namespace kolvex::agents
