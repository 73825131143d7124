#include "services/change_specs.hpp"

#include "services/ledger_service.hpp"

#include <optional>
#include <string_view>

namespace kolvex::services::shared {

namespace {

// "changes/add-login.md" -> "add-login"; nullopt when the result is not a safe slug.
std::optional<std::string> slug_of_ref(std::string_view ref)
{
  while (!ref.empty() && (ref.back() == '/' || ref.back() == '\\')) {
    ref.remove_suffix(1);
  }
  const std::size_t slash = ref.find_last_of("/\\");
  std::string_view name = slash == std::string_view::npos ? ref : ref.substr(slash + 1);
  for (const std::string_view suffix : {std::string_view(".md"), std::string_view(".yaml")}) {
    if (name.size() > suffix.size() && name.ends_with(suffix)) {
      name.remove_suffix(suffix.size());
      break;
    }
  }
  if (!ledger_service::is_safe_slug(name)) {
    return std::nullopt;
  }
  return std::string(name);
}

} // namespace

std::vector<std::string> extract_change_spec_slugs(const core::Map& parsed)
{
  std::vector<std::string> slugs;
  const core::Value* provenance = parsed.find("provenance");
  if (provenance == nullptr || !provenance->is_map()) {
    return slugs;
  }
  const core::Value* type = provenance->get("type");
  const core::Value* ref = provenance->get("ref");
  if (type == nullptr || !type->is_string() || type->as_string() != "spec" || ref == nullptr) {
    return slugs;
  }
  auto add = [&](const core::Value& item) {
    if (item.is_string()) {
      if (auto slug = slug_of_ref(item.as_string())) {
        slugs.push_back(std::move(*slug));
      }
    }
  };
  if (ref->is_list()) {
    for (const core::Value& item : ref->as_list()) {
      add(item);
    }
  } else {
    add(*ref);
  }
  return slugs;
}

} // namespace kolvex::services::shared
