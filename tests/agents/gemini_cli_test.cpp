#include "agents/gemini_cli.hpp"

#include "core/sha256.hpp"
#include "support/agent_env.hpp"

#include <gtest/gtest.h>

using kolvex::agents::GeminiCliAdapter;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;
using namespace kolvex::testing;

namespace {

const std::string ID = "abcdef12-3456-4789-8abc-def012345678";
const std::string SHA = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678";

Map gemini_message(const std::string& id,
                   const std::string& timestamp,
                   const std::string& model,
                   long long input,
                   long long output)
{
  return Map{
      {"id", id},
      {"timestamp", timestamp},
      {"type", "gemini"},
      {"content", "private answer text"},
      {"model", model},
      {"tokens",
       Map{{"input", input},
           {"output", output},
           {"cached", 1},
           {"thoughts", 2},
           {"tool", 3},
           {"total", input + output + 6}}},
      {"toolCalls",
       List{Map{
           {"id", "t-" + id},
           {"name", "run_shell_command"},
           {"args", Map{{"command", "git commit -m x"}}},
           {"result",
            List{Map{{"functionResponse",
                      Map{{"response", Map{{"output", "[main " + SHA.substr(0, 7) + "] x"}}}}}}}},
           {"status", "success"},
           {"timestamp", timestamp}}}}};
}

Map user_message(const std::string& id, const std::string& timestamp)
{
  return Map{{"id", id}, {"timestamp", timestamp}, {"type", "user"}, {"content", "private prompt"}};
}

} // namespace

TEST(GeminiCli, JsonlChatSumsTokensOfEachMessageOnce)
{
  AgentEnv env;
  TempDir repo;
  const auto hash = kolvex::core::sha256_hex(repo.path().string());
  env.dir().write(
      stdfs::path("home/.gemini/tmp") / hash / "chats" /
          ("session-2026-01-02T10-00-" + ID.substr(0, 8) + ".jsonl"),
      AgentEnv::join_lines(
          {line_of(Map{
               {"sessionId", ID}, {"projectHash", hash}, {"startTime", "2026-01-02T10:00:00Z"}}),
           line_of(user_message("m1", "2026-01-02T10:00:00Z")),
           line_of(gemini_message("m2", "2026-01-02T10:00:10Z", "gemini-2.5-pro", 100, 10)),
           line_of(gemini_message("m2", "2026-01-02T10:00:11Z", "gemini-2.5-pro", 100, 20)),
           line_of(gemini_message("m3", "2026-01-02T10:00:20Z", "gemini-2.5-flash", 50, 5)),
           "{broken"}));
  const GeminiCliAdapter adapter;
  EXPECT_EQ(adapter.get_session_id(repo.path()), std::optional<std::string>(ID));
  const auto telemetry = adapter.get_telemetry_for_session(repo.path(), std::nullopt);
  ASSERT_TRUE(telemetry.has_value());
  const auto map = telemetry->to_dict();
  EXPECT_EQ(*map.find("session_id"), Value(ID));
  EXPECT_EQ(*map.find("model"), Value("gemini-2.5-flash"));
  EXPECT_EQ(*map.find("tokens"),
            Value(Map{{"input", 150},
                      {"output", 25},
                      {"cached", 2},
                      {"thoughts", 4},
                      {"tool", 6},
                      {"total", 187}}));
  EXPECT_EQ(*map.find("messages"), Value(3));
  EXPECT_EQ(*map.find("tool_calls"), Value(2));
  EXPECT_EQ(kolvex::core::json::dump(Value(map)).find("private"), std::string::npos);

  const auto matches = adapter.sessions_mentioning(repo.path(), {SHA}, std::nullopt, {});
  EXPECT_EQ(matches.at(SHA), std::vector<std::string>{ID});
}

TEST(GeminiCli, SingleObjectChatAndUnknownSessions)
{
  AgentEnv env;
  const Map chat{{"sessionId", ID},
                 {"projectHash", "0000"},
                 {"messages",
                  List{user_message("m1", "2026-01-02T10:00:00Z"),
                       gemini_message("m2", "2026-01-02T10:00:05Z", "gemini-2.5-pro", 7, 3)}}};
  env.dir().write(stdfs::path("home/.gemini/tmp/proj/chats") /
                      ("session-x-" + ID.substr(0, 8) + ".json"),
                  kolvex::core::json::dump_indented(Value(chat), 2));
  const GeminiCliAdapter adapter;
  const auto telemetry = adapter.get_telemetry_for_session("/any", ID);
  ASSERT_TRUE(telemetry.has_value());
  EXPECT_EQ(*telemetry->to_dict().find("tokens")->get("total"), Value(16));
  EXPECT_EQ(*telemetry->to_dict().find("messages"), Value(2));
  // Same eight-character prefix, different session: not this one.
  EXPECT_FALSE(
      adapter.get_telemetry_for_session("/any", ID.substr(0, 8) + "-0000-0000-0000-000000000000"));
  // A chat of another project is not this repository's session.
  EXPECT_FALSE(adapter.get_session_id("/any").has_value());
  EXPECT_FALSE(adapter.is_active());
  env.env().set("GEMINI_CLI", "1");
  EXPECT_TRUE(adapter.is_active());
}
