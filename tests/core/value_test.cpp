#include "core/value.hpp"

#include <gtest/gtest.h>

#include <string>

using kolvex::core::BigInt;
using kolvex::core::Date;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::truthy;
using kolvex::core::TypeError;
using kolvex::core::Value;

namespace {

std::string keys_of(const Map& map)
{
  std::string out;
  for (const auto& [key, value] : map) {
    out += key + ",";
  }
  return out;
}

} // namespace

TEST(Map, KeepsPythonDictOrderOnAssignEraseAndReinsert)
{
  Map m{{"a", 1}, {"b", 2}, {"c", 3}};
  m.set("a", 10);
  EXPECT_EQ(keys_of(m), "a,b,c,");
  EXPECT_EQ(m.find("a")->as_int(), 10);
  EXPECT_TRUE(m.erase("b"));
  EXPECT_FALSE(m.erase("b"));
  m.set("b", 4);
  EXPECT_EQ(keys_of(m), "a,c,b,");
  m["d"];
  EXPECT_TRUE(m.find("d")->is_null());
}

TEST(Map, LargeMapsStayConsistentThroughTheIndex)
{
  Map m;
  for (int i = 0; i < 500; ++i) {
    // Appended, not "k" + ...: GCC 12 at -O3 warns (-Wrestrict) on literal + std::string.
    std::string key = "k";
    key += std::to_string(i);
    m.set(key, i);
  }
  ASSERT_EQ(m.size(), 500U);
  EXPECT_EQ(m.find("k377")->as_int(), 377);
  EXPECT_TRUE(m.erase("k10"));
  EXPECT_EQ(m.find("k10"), nullptr);
  EXPECT_EQ(m.find("k499")->as_int(), 499);
  m.set("k10", -1);
  EXPECT_EQ(m.find("k10")->as_int(), -1);
  EXPECT_EQ((m.end() - 1)->first, "k10");
  // A copy must not share the original's index.
  Map copy = m;
  copy.set("k0", 99);
  EXPECT_EQ(m.find("k0")->as_int(), 0);
  EXPECT_EQ(copy.find("k0")->as_int(), 99);
}

TEST(Value, TruthinessFollowsPython)
{
  EXPECT_FALSE(truthy(Value()));
  EXPECT_FALSE(truthy(Value(false)));
  EXPECT_FALSE(truthy(Value(0)));
  EXPECT_FALSE(truthy(Value(0.0)));
  EXPECT_FALSE(truthy(Value("")));
  EXPECT_FALSE(truthy(Value(List{})));
  EXPECT_FALSE(truthy(Value(Map{})));
  EXPECT_TRUE(truthy(Value("false")));
  EXPECT_TRUE(truthy(Value(-1)));
  EXPECT_TRUE(truthy(Value(0.5)));
  EXPECT_TRUE(truthy(Value(BigInt{"123456789012345678901234567890"})));
  EXPECT_TRUE(truthy(Value(Date{2024, 5, 1})));
  EXPECT_TRUE(truthy(Value(List{Value()})));
}

TEST(Value, KindsAccessorsAndTypeNames)
{
  EXPECT_EQ(Value().type_name(), "NoneType");
  EXPECT_EQ(Value(true).type_name(), "bool");
  EXPECT_EQ(Value(3).type_name(), "int");
  EXPECT_EQ(Value(BigInt{"-99999999999999999999"}).type_name(), "int");
  EXPECT_EQ(Value(1.5).type_name(), "float");
  EXPECT_EQ(Value("x").type_name(), "str");
  EXPECT_EQ(Value(List{}).type_name(), "list");
  EXPECT_EQ(Value(Map{}).type_name(), "dict");
  EXPECT_FALSE(Value(true).is_int());
  EXPECT_THROW((void)Value("1").as_int(), TypeError);
  EXPECT_THROW((void)Value(1).as_float(), TypeError);

  Value v = Map{{"name", "x"}, {"n", 1}};
  EXPECT_EQ(v.get_string("name"), "x");
  EXPECT_EQ(v.get_string("n"), std::nullopt);
  EXPECT_EQ(Value(1).get("name"), nullptr);
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_EQ(v, (Value(Map{{"name", "x"}, {"n", 1}})));
  // Equality ignores order, as for Python dicts; order is still kept for writing.
  EXPECT_EQ(v, (Value(Map{{"n", 1}, {"name", "x"}})));
  EXPECT_NE(v, (Value(Map{{"n", 2}, {"name", "x"}})));
}
