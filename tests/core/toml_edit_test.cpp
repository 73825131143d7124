// The TOML scan refuses exactly what Python's tomllib refuses, on the forms a
// config.toml takes and the ways one goes wrong, and places its statements.
#include "core/toml_edit.hpp"
#include "services/mcp_registration.hpp"

#include "support/judges.hpp"

#include <gtest/gtest.h>

namespace kolvex::core::toml_edit {
namespace {

class AgreesWithTomllib : public ::testing::TestWithParam<std::string> {};

TEST_P(AgreesWithTomllib, SameVerdict)
{
  const std::string& text = GetParam();
  bool ours = true;
  try {
    (void)scan(text);
  } catch (const NotEditableError&) {
    ours = false;
  }
  EXPECT_EQ(ours, testing::toml_as_json(text).has_value()) << text;
}

INSTANTIATE_TEST_SUITE_P(
    TomlEdit,
    AgreesWithTomllib,
    ::testing::Values(
        // Valid: the forms of tables, values and strings.
        "model = \"o3\" # c\r\n[mcp_servers.db]\ncommand = \"pg\"\nargs = [\"--ro\",]\n",
        "mcp_servers = { other = { command = \"x\" }, b = {} }\n",
        "a.b = 1\n[a.c]\nx = 1979-05-27 07:32:00.5-07:00\n",
        "[[t]]\ny = [1, 2.5, 'l', {q = true}]\n[t.sub]\n[[t]]\n[t.sub]\n",
        "s = \"\"\"\na\\\n   b\"\"\"\"\nl = '''x'''''\n",
        "[x.y]\n[x]\nz = 1\n",
        "i = [0x_1F, 1_000, +inf, 5e+22, 1e400, 0o17, 0b1, -0]\n",
        "d = [1979-05-27, 07:32:00]\n",
        "\"a b\".'c' = \"\\u00e9\\U0001F600\"\n",
        "x = [\n  1, # one\n  2\n]\n",
        // Invalid: syntax, then a key or table defined twice.
        "a = 1 b = 2\n",
        "a = \"x\"\rb = 1\n",
        "[a]]\n",
        "a = [1 2]\n",
        "k = { a = 1, }\n",
        "k = { a = 1,\n b = 2 }\n",
        "i = 01\n",
        "i = 1__2\n",
        "f = .5\n",
        "s = \"\\e\"\n",
        "s = \"\\ud800\"\n",
        "d = 1979-02-30\n",
        "t = 07:32\n",
        "x = tru\n",
        "a = 1 # \x01\n",
        "a = 1\na = 2\n",
        "[a]\n[a]\n",
        "a.b = 1\n[a]\n",
        "a = { b = 1 }\n[a.c]\n",
        "k = { a.b = 1, a = 2 }\n",
        "[[a]]\n[a]\n",
        "[a.b]\nc = 1\n[a]\nb.d = 1\n",
        "mcp_servers = {}\n[mcp_servers.kolvex]\n"));

TEST(TomlEdit, StatementsKnowTheirTableKeyAndValue)
{
  const std::string text = "top = 1\n[\"mcp_servers\" . x]\nk = { a = 1, b.c = 2 } # c\n";
  const auto statements = scan(text);
  ASSERT_EQ(statements.size(), 3u);
  EXPECT_EQ(statements[1].kind, Statement::Kind::table);
  EXPECT_EQ(statements[1].table, (std::vector<std::string>{"mcp_servers", "x"}));
  const Statement& k = statements[2];
  EXPECT_EQ(k.table, statements[1].table);
  EXPECT_EQ(k.key, std::vector<std::string>{"k"});
  EXPECT_EQ(k.value, Statement::Value::inline_table);
  EXPECT_EQ(text.substr(k.value_begin, k.value_end - k.value_begin), "{ a = 1, b.c = 2 }");
  EXPECT_EQ(k.inline_keys, (std::vector<std::vector<std::string>>{{"a"}, {"b", "c"}}));
  EXPECT_EQ(k.line_end, text.size());
  EXPECT_EQ(key_text("kolvex"), "kolvex");
  EXPECT_EQ(key_text("a \"b\""), "\"a \\\"b\\\"\"");
}

} // namespace
} // namespace kolvex::core::toml_edit

namespace kolvex::services::mcp_registration {
namespace {

// Codex's tool-server entry, spliced in each form the file calls for and taken out
// again, gives the file back byte for byte; "" is the file kolvex created.
class CodexRoundTrip : public ::testing::TestWithParam<std::string> {};

TEST_P(CodexRoundTrip, RemovingTheEntryGivesTheTextBack)
{
  const std::string& text = GetParam();
  const auto merged = merge_codex_registration(text);
  ASSERT_TRUE(merged.has_value()) << text;
  ASSERT_NE(*merged, text);
  EXPECT_EQ(remove_codex_registration(*merged), text);
  EXPECT_EQ(remove_codex_registration(text), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(TomlEdit,
                         CodexRoundTrip,
                         ::testing::Values("",
                                           "model = \"o3\"\n",
                                           "model = \"o3\"\r\n\r\n[tui]\r\nstyle = 1\r\n",
                                           "mcp_servers = {}\n",
                                           "mcp_servers = { db = { command = \"pg\" } }\n",
                                           "mcp_servers = { a = {}, b = {} }  # two\n",
                                           "mcp_servers.db.command = \"pg\"\n[x]\ny = 1\n",
                                           "[mcp_servers.db]\ncommand = \"pg\"\n"));

// What kolvex did not write exactly as it writes it is the user's and stays.
TEST(TomlEdit, AnEntryTheUserChangedIsNotRemoved)
{
  for (const std::string text :
       {"[mcp_servers.kolvex]\ncommand = \"/opt/kolvex\"\nargs = [\"mcp\"]\n",
        "[mcp_servers.kolvex]\ncommand = \"kolvex\"\nargs = [\"mcp\"]\nenv = { A = \"1\" }\n",
        "mcp_servers = { kolvex = { command = \"other\", args = [\"mcp\"] } }\n"}) {
    EXPECT_EQ(remove_codex_registration(text), std::nullopt) << text;
  }
}

} // namespace
} // namespace kolvex::services::mcp_registration
