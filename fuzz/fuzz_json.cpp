// Arbitrary bytes through core::json: what simdjson accepts we must read the same
// way (or refuse for nesting only), and whatever parses must survive dump and
// re-parse unchanged.
#include "core/json.hpp"
#include "support/simdjson_reading.hpp"

#include <simdjson.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

using kolvex::core::BigInt;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::simdjson_reading;
namespace json = kolvex::core::json;

namespace {

// Equality as the text shows it: same kinds, same map order, NaN equal to NaN and
// -0.0 different from 0.0.
bool identical(const Value& a, const Value& b)
{
  if (a.kind() != b.kind()) {
    return false;
  }
  switch (a.kind()) {
  case Value::Kind::floating: {
    const double x = a.as_float();
    const double y = b.as_float();
    return (std::isnan(x) && std::isnan(y)) || std::memcmp(&x, &y, sizeof x) == 0;
  }
  case Value::Kind::list: {
    const List& l = a.as_list();
    const List& r = b.as_list();
    if (l.size() != r.size()) {
      return false;
    }
    for (std::size_t i = 0; i < l.size(); ++i) {
      if (!identical(l[i], r[i])) {
        return false;
      }
    }
    return true;
  }
  case Value::Kind::map: {
    const Map& l = a.as_map();
    const Map& r = b.as_map();
    if (l.size() != r.size()) {
      return false;
    }
    for (auto li = l.begin(), ri = r.begin(); li != l.end(); ++li, ++ri) {
      if (li->first != ri->first || !identical(li->second, ri->second)) {
        return false;
      }
    }
    return true;
  }
  default:
    return a == b;
  }
}

std::optional<Value> try_parse(std::string_view text)
{
  try {
    return json::parse(text);
  } catch (const json::JsonError&) {
    return std::nullopt;
  }
}

void check(bool condition)
{
  if (!condition) {
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<Value> value;
  bool too_deep = false;
  try {
    value = json::parse(text);
  } catch (const json::JsonError& e) {
    too_deep = std::string_view(e.what()).starts_with("Nesting deeper");
  }
  if (const auto oracle = simdjson_reading(text)) {
    check(value ? identical(*value, *oracle) : too_deep);
  }
  if (!value) {
    return 0;
  }

  const std::string once = json::dump(*value);
  const auto again = try_parse(once);
  check(again && identical(*again, *value));
  check(json::dump(*again) == once);

  const auto from_indented = try_parse(json::dump_indented(*value, 2));
  check(from_indented && identical(*from_indented, *value));
  return 0;
}
