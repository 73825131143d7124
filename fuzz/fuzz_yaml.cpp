// Loads arbitrary bytes as a YAML stream; whatever loads must dump and load back
// to the same Value, and the dumped text must be a fixed point of dump(load()).
#include "core/yaml.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using kolvex::core::Value;
namespace yaml = kolvex::core::yaml;

namespace {

// Stricter than Value's ==, which ignores map order and never equates NaN: a
// round trip must keep order, NaN and the sign of zero.
bool same(const Value& a, const Value& b)
{
  if (a.kind() != b.kind()) {
    return false;
  }
  if (a.is_float()) {
    const double x = a.as_float();
    const double y = b.as_float();
    return (std::isnan(x) && std::isnan(y)) || (x == y && std::signbit(x) == std::signbit(y));
  }
  if (a.is_list()) {
    const auto& l = a.as_list();
    const auto& r = b.as_list();
    if (l.size() != r.size()) {
      return false;
    }
    for (std::size_t i = 0; i < l.size(); ++i) {
      if (!same(l[i], r[i])) {
        return false;
      }
    }
    return true;
  }
  if (a.is_map()) {
    if (a.as_map().size() != b.as_map().size()) {
      return false;
    }
    auto it = b.as_map().begin();
    for (const auto& [key, value] : a.as_map()) {
      if (key != it->first || !same(value, it->second)) {
        return false;
      }
      ++it;
    }
    return true;
  }
  return a == b;
}

[[noreturn]] void fail(const char* what, const std::string& text)
{
  std::fprintf(stderr, "%s\n--- dumped ---\n%s--- end ---\n", what, text.c_str());
  std::abort();
}

void round_trip(const Value& value)
{
  const std::string once = yaml::dump(value);
  Value back;
  try {
    back = yaml::load(once);
  } catch (const yaml::YamlError& e) {
    fail(e.what(), once);
  }
  if (!same(value, back)) {
    fail("dump then load changed the value", once);
  }
  if (yaml::dump(back) != once) {
    fail("dump is not a fixed point", once);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<Value> documents;
  try {
    documents = yaml::load_all(text);
  } catch (const yaml::YamlError&) {
    return 0;
  }
  for (const Value& document : documents) {
    round_trip(document);
  }
  // load() agrees with load_all(): null for no document, the one document, or
  // a refusal of several.
  try {
    const Value single = yaml::load(text);
    if (documents.size() > 1 || !same(single, documents.empty() ? Value() : documents[0])) {
      std::abort();
    }
  } catch (const yaml::YamlError&) {
    if (documents.size() <= 1) {
      std::abort();
    }
  }
  return 0;
}
