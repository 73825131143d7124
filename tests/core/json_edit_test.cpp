// Splicing into someone else's JSON: every byte outside the edit stays, the edit
// takes the file's own layout, and anything but strict JSON is refused.
#include "core/json_edit.hpp"

#include "support/judges.hpp"

#include <gtest/gtest.h>

namespace kolvex::core::json_edit {
namespace {

const Value k_entry = Value(Map{{"command", "kolvex"}, {"args", List{"mcp"}}});

struct SpliceCase {
  const char* name;
  std::string text;
  std::string expected; // with "kolvex" added to "mcpServers" (created when missing)
};

class Splice : public ::testing::TestWithParam<SpliceCase> {};

TEST_P(Splice, OnlyTheNewMemberIsWritten)
{
  const std::string& text = GetParam().text;
  const Node root = scan(text);
  const Node* servers = root.member("mcpServers");
  const std::string out =
      servers == nullptr ? add_member(text, root, "mcpServers", Value(Map{{"kolvex", k_entry}}))
                         : add_member(text, *servers, "kolvex", k_entry);
  EXPECT_EQ(out, GetParam().expected);
  EXPECT_TRUE(testing::json_parses(out)) << out;
}

// The removal undoes the splice exactly: the text comes back byte for byte.
TEST_P(Splice, RemovingTheMemberGivesTheTextBack)
{
  const std::string& text = GetParam().text;
  const std::string& spliced = GetParam().expected;
  const Node root = scan(spliced);
  const Node* servers = root.member("mcpServers");
  ASSERT_NE(servers, nullptr);
  const bool created = scan(text).member("mcpServers") == nullptr;
  const Node& holder = created ? root : *servers;
  std::size_t index = 0;
  for (std::size_t i = 0; i < holder.members.size(); ++i) {
    if (holder.members[i].first == (created ? "mcpServers" : "kolvex")) {
      index = i;
    }
  }
  EXPECT_EQ(remove_member(spliced, holder, index), text);
}

INSTANTIATE_TEST_SUITE_P(
    JsonEdit,
    Splice,
    ::testing::Values(
        // Numbers, non-ASCII text, a repeated key and a number beyond a double
        // are the user's and stay as written; four-space indentation is followed.
        SpliceCase{"FourSpacesAndValuesKeptAsWritten",
                   "{\n    \"price\": 1.50,\n    \"name\": \"\xC3\xA9\",\n    \"big\": 1e400,\n"
                   "    \"name\": \"again\",\n    \"mcpServers\": {\n        \"db\": {\"command\": "
                   "\"pg\"}\n    }\n}\n",
                   "{\n    \"price\": 1.50,\n    \"name\": \"\xC3\xA9\",\n    \"big\": 1e400,\n"
                   "    \"name\": \"again\",\n    \"mcpServers\": {\n        \"db\": {\"command\": "
                   "\"pg\"},\n        \"kolvex\": {\n            \"command\": \"kolvex\",\n"
                   "            \"args\": [\n                \"mcp\"\n            ]\n        }\n"
                   "    }\n}\n"},
        SpliceCase{"TabsAndCrlf",
                   "{\r\n\t\"z\": 1,\r\n\t\"a\": 2\r\n}",
                   "{\r\n\t\"z\": 1,\r\n\t\"a\": 2,\r\n\t\"mcpServers\": {\r\n\t\t\"kolvex\": {\r\n"
                   "\t\t\t\"command\": \"kolvex\",\r\n\t\t\t\"args\": [\r\n\t\t\t\t\"mcp\"\r\n"
                   "\t\t\t]\r\n\t\t}\r\n\t}\r\n}"},
        SpliceCase{
            "OneLineStaysOneLine",
            R"({"mcpServers": {"db": {"command": "pg"}}})",
            R"({"mcpServers": {"db": {"command": "pg"}, "kolvex": {"command": "kolvex", "args": ["mcp"]}}})"},
        SpliceCase{"EmptyObjectInAnIndentedFile",
                   "{\n  \"mcpServers\": {}\n}\n",
                   "{\n  \"mcpServers\": {\n    \"kolvex\": {\n      \"command\": \"kolvex\",\n"
                   "      \"args\": [\n        \"mcp\"\n      ]\n    }\n  }\n}\n"},
        // The last of repeated keys is the one JSON readers use.
        SpliceCase{
            "RepeatedKeyTheLastIsEdited",
            R"({"mcpServers": {"a": 1}, "mcpServers": {}})",
            R"({"mcpServers": {"a": 1}, "mcpServers": {"kolvex": {"command": "kolvex", "args": ["mcp"]}}})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonEdit, AddsAnItemToAListInItsLayout)
{
  const std::string text = "{\n  \"hooks\": [\n    {\"a\": 1}\n  ],\n  \"empty\": []\n}";
  const Node root = scan(text);
  EXPECT_EQ(add_item(text, *root.member("hooks"), Value(2)),
            "{\n  \"hooks\": [\n    {\"a\": 1},\n    2\n  ],\n  \"empty\": []\n}");
  EXPECT_EQ(add_item(text, *root.member("empty"), Value(List{"x"})),
            "{\n  \"hooks\": [\n    {\"a\": 1}\n  ],\n  \"empty\": [\n    [\n      \"x\"\n    ]\n"
            "  ]\n}");
}

// Any item comes out with its separator, whichever place it holds, and the only
// item leaves its list closed up again.
TEST(JsonEdit, RemovesAnItemWhereverItStands)
{
  struct Case {
    std::string text;
    std::size_t index;
    std::string expected;
  };
  const std::vector<Case> cases{
      {"[1, 2, 3]", 0, "[2, 3]"},
      {"[\n  1,\n  2\n]\n", 1, "[\n  1\n]\n"},
      {"[\n  1,\n  2\n]\n", 0, "[\n  2\n]\n"},
      {"{\n  \"a\": [\n    7\n  ]\n}", 0, "{\n  \"a\": []\n}"},
      {"{\"a\": [7]}", 0, "{\"a\": []}"},
      {"{\"a\": [ 7 ]}", 0, "{\"a\": [ ]}"},
  };
  for (const auto& c : cases) {
    const Node root = scan(c.text);
    const Node& array = root.kind == Node::Kind::array ? root : *root.member("a");
    EXPECT_EQ(remove_item(c.text, array, c.index), c.expected) << c.text;
  }
  const std::string grown =
      add_item("{\n  \"e\": []\n}", *scan("{\n  \"e\": []\n}").member("e"), Value(Map{{"x", 1}}));
  EXPECT_EQ(remove_item(grown, *scan(grown).member("e"), 0), "{\n  \"e\": []\n}");
}

// What readers accept beyond JSON is refused: an edit would have to guess what
// the file's reader makes of it.
TEST(JsonEdit, AnythingButStrictJsonIsRefused)
{
  for (const char* text : {"{\"a\": 1, // mine\n}",
                           "{\"a\": 1 /* c */}",
                           "{\"a\": [1,],}",
                           "{\"a\": 1,}",
                           "{\"a\": NaN}",
                           "{\"a\": Infinity}",
                           "\xEF\xBB\xBF{}",
                           "{\"a\": 01}",
                           "{\"a\": \"\\x\"}",
                           "{\"a\": \"tab\there\"}",
                           "{'a': 1}",
                           "{\"a\": 1} {}",
                           "{\"a\": \"\xFF\"}",
                           "{\"a\": 1",
                           "",
                           "[1.]"}) {
    EXPECT_THROW((void)scan(text), NotEditableError) << text;
  }
  EXPECT_THROW((void)scan(std::string(600, '[') + std::string(600, ']')), NotEditableError);
}

} // namespace
} // namespace kolvex::core::json_edit
