// Arbitrary bytes as the server answers that become cache files: a specs answer
// (spec and canonical doc names must come out as safe file names), a guardrails
// answer, and a rules or state entity merged with the bytes as the existing rules
// file.  Whatever is written must read back as the YAML map it was.
#include "core/json.hpp"
#include "core/yaml.hpp"
#include "services/context_cache.hpp"
#include "services/relaycore/cache/cache_writers.hpp"
#include "services/relaycore/cache/refresh.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

namespace cache = kolvex::services::relaycore::cache;
using kolvex::core::Map;
using kolvex::core::Value;

void require(bool condition)
{
  if (!condition) {
    std::abort();
  }
}

void require_safe_names(const std::optional<std::map<std::string, std::string>>& documents)
{
  if (!documents) {
    return;
  }
  for (const auto& [name, text] : *documents) {
    require(!name.empty() && name.front() != '.' && name.find('/') == std::string::npos);
    require(!text.empty());
  }
}

// What is written for `value` reads back as a map that writes the same text (the
// text, not the values, is compared, so that NaN counts as itself).
void require_reads_back(const Value& value)
{
  const std::string text = kolvex::core::yaml::dump(value);
  const Value loaded = kolvex::core::yaml::load(text);
  require(loaded.is_map() && kolvex::core::yaml::dump(loaded) == text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string input(reinterpret_cast<const char*>(data), size);
  Value answer;
  try {
    answer = kolvex::core::json::parse(input);
  } catch (const kolvex::core::json::JsonError&) {
    answer = Value();
  }

  const cache::SpecsPayload payload = cache::_collect_specs(answer);
  require_safe_names(payload.specs);
  require_safe_names(payload.canonical_docs);

  const Map constraints = cache::_constraints_section(
      answer.is_map() && answer.get("rules") ? *answer.get("rules") : answer);
  for (const auto& [name, entry] : constraints) {
    require(entry.is_map() && entry.as_map().size() == 4);
  }
  require_reads_back(Value(constraints));

  if (answer.is_map()) {
    // The answer as a state entity, and as a rules entity merged into the input
    // taken as the existing rules file.
    require_reads_back(answer);
    const std::string merged =
        kolvex::services::context_cache::_merged_rules_text(input, answer.as_map());
    require(kolvex::core::yaml::load(merged).is_map());
  }
  return 0;
}
