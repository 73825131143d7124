#pragma once

// An independent JSON reader for cross-checks: simdjson's reading of a text as a
// Value.  Shared by the JSON tests and the JSON fuzz target; header-only so that
// the fuzz build can include it without the test support sources.

#include "core/value.hpp"

#include <simdjson.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex::testing {

// simdjson's reading of `text` as a core::Value, or nullopt where simdjson refuses it (it
// knows no NaN, no integer beyond 64 bits, no lone surrogate): an independent
// parser to check ours against.
inline bool from_dom(simdjson::dom::element element, core::Value& out)
{
  using simdjson::dom::element_type;
  switch (element.type()) {
  case element_type::ARRAY: {
    core::List list;
    for (simdjson::dom::element item : simdjson::dom::array(element)) {
      if (!from_dom(item, list.emplace_back())) {
        return false;
      }
    }
    out = std::move(list);
    return true;
  }
  case element_type::OBJECT: {
    core::Map map;
    for (simdjson::dom::key_value_pair field : simdjson::dom::object(element)) {
      core::Value item;
      if (!from_dom(field.value, item)) {
        return false;
      }
      map.set(field.key, std::move(item));
    }
    out = std::move(map);
    return true;
  }
  case element_type::INT64:
    out = core::Value(static_cast<long long>(std::int64_t(element)));
    return true;
  case element_type::UINT64:
    out = core::Value(core::BigInt{std::to_string(std::uint64_t(element))});
    return true;
  case element_type::DOUBLE:
    out = core::Value(double(element));
    return true;
  case element_type::STRING:
    out = core::Value(std::string_view(element));
    return true;
  case element_type::BOOL:
    out = core::Value(bool(element));
    return true;
  case element_type::NULL_VALUE:
    out = core::Value();
    return true;
  }
  return false;
}

inline std::optional<core::Value> simdjson_reading(std::string_view text)
{
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  core::Value out;
  if (parser.parse(text.data(), text.size()).get(root) != simdjson::SUCCESS ||
      !from_dom(root, out)) {
    return std::nullopt;
  }
  return out;
}

} // namespace kolvex::testing
