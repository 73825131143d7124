#include "frontend/attestation_fields.hpp"

#include "core/clock.hpp"
#include "core/text.hpp"
#include "display/repr.hpp"

#include <algorithm>
#include <system_error>

namespace kolvex::services::shared {

namespace {

using core::Map;
using core::Value;
using display::repr::python_list;
using display::repr::python_repr;

// ---- Validation helpers --------------------------------------------------------

// Texts in messages are cut so that one pasted blob does not drown the report; the
// cut falls on a UTF-8 sequence boundary.
std::string shown(const Value& value)
{
  constexpr std::size_t k_limit = 80;
  auto text = python_repr(value);
  if (text.size() <= k_limit) {
    return text;
  }
  std::size_t cut = 0;
  while (cut < text.size()) {
    const std::size_t next = cut + core::text::utf8_step(text, cut).length;
    if (next > k_limit) {
      break;
    }
    cut = next;
  }
  text.resize(cut);
  return text + "...";
}

template <std::size_t N>
bool is_one_of(const Value& value, const std::array<std::string_view, N>& choices)
{
  return value.is_string() &&
         std::find(choices.begin(), choices.end(), value.as_string()) != choices.end();
}

class Checker {
public:
  void error(std::string message) { m_errors.push_back(std::move(message)); }
  void warning(std::string message) { m_warnings.push_back(std::move(message)); }

  // An optional text field: present means text (possibly empty).
  void optional_text(const Map& map, std::string_view field, std::string_view path)
  {
    const Value* value = map.find(field);
    if (value != nullptr && !value->is_string()) {
      error(std::string(path) + ": must be text, got: " + shown(*value));
    }
  }

  void staged_diff_hash(const Map& attestation)
  {
    const Value* hash = attestation.find("staged_diff_hash");
    if (hash == nullptr) {
      error("staged_diff_hash: missing; give the SHA-256 of `git diff --staged` "
            "(--staged-diff-hash)");
    } else if (!hash->is_string() || hash->as_string().size() != 64 ||
               !core::text::is_lower_hex(hash->as_string())) {
      error("staged_diff_hash: must be 64 lower-case hexadecimal characters, the output of "
            "`git diff --staged | shasum -a 256`, got: " +
            shown(*hash));
    }
  }

  void timestamp(const Map& attestation)
  {
    const Value* ts = attestation.find("timestamp");
    if (ts == nullptr) {
      error("timestamp: missing; give an ISO 8601 time such as 2026-01-15T10:30:00Z");
    } else if (ts->is_date() || ts->is_datetime()) {
      return;
    } else if (!ts->is_string()) {
      error("timestamp: must be an ISO 8601 time, got: " + shown(*ts));
    } else if (!core::clock::parse_iso8601(ts->as_string())) {
      // Kept verbatim all the same: a timestamp is the agent's claim, not ours.
      warning("timestamp: " + shown(*ts) +
              " is not an ISO 8601 time (e.g. 2026-01-15T10:30:00Z); it is kept as given");
    }
  }

  void agent_model(const Map& attestation)
  {
    const Value* model = attestation.find("agent_model");
    if (model == nullptr) {
      error("agent_model: missing; name the model that made the change (--model)");
    } else if (!model->is_string()) {
      error("agent_model: must be text, got: " + shown(*model));
    } else if (model->as_string().find_first_not_of(" \t") == std::string::npos) {
      warning("agent_model: empty; name the model that made the change (--model), "
              "e.g. claude-opus-4-6");
    }
  }

  void provenance(const Map& attestation)
  {
    const Value* prov = attestation.find("provenance");
    if (prov == nullptr) {
      return;
    }
    if (!prov->is_map()) {
      error("provenance: must be a mapping with type and ref, got: " + shown(*prov));
      return;
    }
    const Value* type = prov->get("type");
    if (type == nullptr) {
      error("provenance.type: missing; one of " + python_list(VALID_PROVENANCE_TYPES));
      return;
    }
    if (!is_one_of(*type, VALID_PROVENANCE_TYPES)) {
      error("provenance.type: must be one of " + python_list(VALID_PROVENANCE_TYPES) +
            ", got: " + shown(*type));
      return;
    }
    const Value* ref = prov->get("ref");
    const auto& kind = type->as_string();
    if (ref != nullptr && !ref->is_string()) {
      error("provenance.ref: must be text, got: " + shown(*ref));
    } else if ((kind == "spec" || kind == "ticket") &&
               (ref == nullptr || ref->as_string().empty())) {
      error("provenance.ref: required when provenance.type is " + python_repr(*type) +
            "; name the " + kind + " the change comes from");
    }
  }

  void task_type(const Map& attestation)
  {
    const Value* task = attestation.find("task_type");
    if (task != nullptr && !is_one_of(*task, VALID_TASK_TYPES)) {
      error("task_type: must be one of " + python_list(VALID_TASK_TYPES) +
            ", got: " + shown(*task));
    }
  }

  void rules(const Map& attestation)
  {
    const Value* rules = attestation.find("rules");
    if (rules == nullptr) {
      return;
    }
    if (!rules->is_map()) {
      error(R"(rules: must be a mapping {"checked": true, "applicable": [...]}, got: )" +
            shown(*rules));
      return;
    }
    const Value* checked = rules->get("checked");
    if (checked == nullptr) {
      error("rules.checked: missing; true once the change was checked against the "
            "project's rules");
    } else if (!checked->is_bool()) {
      error("rules.checked: must be true or false, got: " + shown(*checked));
    } else if (!checked->as_bool()) {
      warning("rules.checked: false; the change was not checked against the project's rules");
    }
    const Value* applicable = rules->get("applicable");
    if (applicable == nullptr) {
      error("rules.applicable: missing; list the rules that apply to the change ([] for "
            "none)");
      return;
    }
    if (!applicable->is_list()) {
      error("rules.applicable: must be a list of rule names, got: " + shown(*applicable));
      return;
    }
    const auto& items = applicable->as_list();
    for (std::size_t i = 0; i < items.size(); ++i) {
      const bool named = items[i].is_string() && !items[i].as_string().empty();
      if (!named && !items[i].is_map()) {
        error("rules.applicable[" + std::to_string(i) +
              "]: must be a rule name, got: " + shown(items[i]));
      }
    }
  }

  void element(const Value& element, const std::string& path)
  {
    if (!element.is_map()) {
      error(path + ": must be a mapping with name and change, got: " + shown(element));
      return;
    }
    const Value* name = element.get("name");
    if (name == nullptr) {
      error(path + ".name: missing; name the element that changed");
    } else if (!name->is_string() || name->as_string().empty()) {
      error(path + ".name: must be non-empty text, got: " + shown(*name));
    }
    const Value* change = element.get("change");
    if (change == nullptr) {
      error(path + ".change: missing; one of " + python_list(ELEMENT_CHANGE_KINDS));
    } else if (!is_one_of(*change, ELEMENT_CHANGE_KINDS)) {
      error(path + ".change: must be one of " + python_list(ELEMENT_CHANGE_KINDS) +
            ", got: " + shown(*change));
    }
    optional_text(element.as_map(), "description", path + ".description");
    const Value* facts = element.get("fact_changes");
    if (facts == nullptr) {
      return;
    }
    if (!facts->is_map()) {
      error(path + ".fact_changes: must be a mapping of add, update and remove lists, got: " +
            shown(*facts));
      return;
    }
    for (const auto& [key, list] : facts->as_map()) {
      if (key != "add" && key != "update" && key != "remove") {
        error(path + ".fact_changes." + key + ": unknown; use add, update or remove");
      } else if (!list.is_list()) {
        error(path + ".fact_changes." + key + ": must be a list, got: " + shown(list));
      }
    }
  }

  void changes(const Map& attestation)
  {
    const Value* changes = attestation.find("changes");
    if (changes == nullptr) {
      return;
    }
    if (!changes->is_map()) {
      error("changes: must be a mapping from primitive to its changes, got: " + shown(*changes));
      return;
    }
    if (changes->as_map().empty()) {
      warning("changes: empty; none of the --arch-changes keys is a known primitive "
              "(one of " +
              python_list(V2_PRIMITIVES) + ")");
      return;
    }
    for (const auto& [primitive, entry] : changes->as_map()) {
      const std::string path = "changes." + primitive;
      if (std::find(V2_PRIMITIVES.begin(), V2_PRIMITIVES.end(), primitive) == V2_PRIMITIVES.end()) {
        error(path + ": unknown primitive; use one of " + python_list(V2_PRIMITIVES));
        continue;
      }
      if (!entry.is_map()) {
        error(path + ": must be a mapping with an elements list, got: " + shown(entry));
        continue;
      }
      const Value* elements = entry.get("elements");
      if (elements == nullptr) {
        error(path + ".elements: missing; list the changed elements as "
                     "[{\"name\": ..., \"change\": \"added|modified|removed\"}]");
        continue;
      }
      if (!elements->is_list()) {
        error(path + ".elements: must be a list, got: " + shown(*elements));
        continue;
      }
      const auto& items = elements->as_list();
      for (std::size_t i = 0; i < items.size(); ++i) {
        element(items[i], path + ".elements[" + std::to_string(i) + "]");
      }
    }
  }

  void summary(const Map& attestation)
  {
    constexpr std::size_t k_long_summary = 200;
    const Value* summary = attestation.find("summary");
    if (summary == nullptr) {
      error("summary: missing; give a one-line impact summary (--summary)");
      return;
    }
    if (!summary->is_string()) {
      error("summary: must be text, got: " + shown(*summary));
      return;
    }
    const auto& text = summary->as_string();
    if (text.find_first_not_of(" \t") == std::string::npos) {
      error("summary: empty; give a one-line impact summary (--summary)");
    } else if (text.find_first_of("\r\n") != std::string::npos) {
      error("summary: must be one line; keep details for the commit message");
    } else if (text.size() > k_long_summary) {
      warning("summary: " + std::to_string(text.size()) +
              " bytes long; one short line reads best (under " + std::to_string(k_long_summary) +
              ")");
    }
  }

  [[nodiscard]] std::pair<std::vector<std::string>, std::vector<std::string>> take()
  {
    return {std::move(m_errors), std::move(m_warnings)};
  }

private:
  std::vector<std::string> m_errors;
  std::vector<std::string> m_warnings;
};

} // namespace

// ---- Attestation fields ---------------------------------------------------------

std::pair<std::vector<std::string>, std::vector<std::string>>
validate_attestation_fields(const core::Value& attestation)
{
  Checker check;
  if (!attestation.is_map()) {
    check.error("attestation: must be a mapping of fields, got: " +
                std::string(attestation.type_name()));
    return check.take();
  }
  const auto& map = attestation.as_map();
  check.staged_diff_hash(map);
  check.timestamp(map);
  check.agent_model(map);
  check.optional_text(map, "agent", "agent");
  check.optional_text(map, "agent_provider", "agent_provider");
  check.optional_text(map, "agent_id", "agent_id");
  check.provenance(map);
  check.task_type(map);
  check.rules(map);
  check.changes(map);
  check.summary(map);
  return check.take();
}

} // namespace kolvex::services::shared
