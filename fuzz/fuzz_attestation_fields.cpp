// Attestation fields come from agents: any JSON an agent passes to `kolvex attest`
// reaches the field checks and the Python-style rendering of values in messages.
#include "core/json.hpp"
#include "display/repr.hpp"
#include "frontend/attestation_fields.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)kolvex::display::repr::python_repr(text);
  kolvex::core::Value value;
  try {
    value = kolvex::core::json::parse(text);
  } catch (const kolvex::core::json::JsonError&) {
    return 0;
  }
  (void)kolvex::services::shared::validate_attestation_fields(value);
  // Every field of a real attestation may hold the same arbitrary value.
  kolvex::core::Map attestation;
  for (const char* field : {"staged_diff_hash",
                            "timestamp",
                            "agent_model",
                            "provenance",
                            "task_type",
                            "rules",
                            "changes",
                            "summary"}) {
    attestation.set(field, value);
  }
  (void)kolvex::services::shared::validate_attestation_fields(kolvex::core::Value(attestation));
  (void)kolvex::display::repr::python_repr(value);
  return 0;
}
